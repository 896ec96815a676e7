#!/usr/bin/env bash
# Installs what is missing, builds, generates a small sample ZIP and has
# ombrex-archive list it and lay it out as a DOS program would see it.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh build

sample=build/sample
rm -rf "$sample"
mkdir -p "$sample/src/Game Files/levels" "$sample/src/docs"
printf 'Welcome to the sample.\r\n' >"$sample/src/README.TXT"
printf 'long name, shortened to 8.3\r\n' >"$sample/src/docs/Installation Guide.txt"
printf 'another long name in the same directory\r\n' >"$sample/src/docs/Installation Notes.txt"
seq 1 2000 >"$sample/src/Game Files/levels/level-one.dat"
printf 'MZ' >"$sample/src/Game Files/game.exe"
(cd "$sample/src" && bsdtar --format zip -cf ../sample.zip README.TXT docs "Game Files")

echo "== ombrex-archive list $sample/sample.zip"
build/ombrex-archive list "$sample/sample.zip"
echo
echo "== ombrex-archive extract-all $sample/sample.zip $sample/dos"
build/ombrex-archive extract-all "$sample/sample.zip" "$sample/dos"
(cd "$sample/dos" && find . -mindepth 1 | sort | sed 's|^\./||')
echo
echo "== ombrex-archive extract $sample/sample.zip 'docs/Installation Notes.txt' $sample/notes.txt"
build/ombrex-archive extract "$sample/sample.zip" 'docs/Installation Notes.txt' "$sample/notes.txt"
cat "$sample/notes.txt"

# The DOS tree as a mount, and a real DOS listing it, where FUSE works.
echo
fuse=$(tools/fuse-available.sh)
if [[ $fuse != yes ]]; then
    echo "== ombrex-archive mount: skipped, $fuse"
    exit 0
fi
mount_point=$PWD/$sample/mnt
mkdir -p "$mount_point" "$sample/d"
echo "== ombrex-archive mount $sample/sample.zip $sample/mnt   (and DOSBox on it as C:)"
build/ombrex-archive mount "$sample/sample.zip" "$mount_point" &
tool=$!
trap 'fusermount3 -u "$mount_point" 2>/dev/null || true; wait "$tool" || true' EXIT
for _ in $(seq 1 200); do grep -q " $mount_point " /proc/self/mountinfo && break; sleep 0.05; done
cat >"$sample/dosbox.conf" <<CONF
[sdl]
output=surface
[mixer]
nosound=true
[autoexec]
mount c $mount_point
mount d $PWD/$sample/d
c:
dir > d:\\LISTING.TXT
dir gamefi~1\\levels >> d:\\LISTING.TXT
type docs\\instal~2.txt >> d:\\LISTING.TXT
exit
CONF
SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy timeout 60 dosbox -conf "$sample/dosbox.conf" -noconsole >/dev/null 2>&1
tr -d '\r' <"$sample/d/LISTING.TXT"
