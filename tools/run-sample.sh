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
