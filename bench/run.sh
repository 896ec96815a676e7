#!/usr/bin/env bash
# Whole-process benchmarks of ombrex-archive (client and helper together)
# against bsdtar and unzip, median of 5 runs each, side by side:
#   1. index a 20,000-member ZIP           (list       vs bsdtar -tf)
#   2. extract all of a ~300 MiB ZIP       (extract-all vs bsdtar -xf, unzip -q)
#   3. decode one large shrunk / imploded member   (extract vs unzip -p)
#   4. materialize member k of an N-member ZIP for several k (the curve)
#   5. the helper alone, fed a request file: index 20,000 and 65,536
#      members (vs bsdtar -tf) and materialize all of 20,000 small members
#      and of ~300 MiB into tmpfs (vs bsdtar -xf)
# and the peak memory of every helper run. Inputs are built once into
# bench/cache/. With --micro it also runs the Google Benchmark programs.
#
#   bench/run.sh [--micro]
set -euo pipefail
cd "$(dirname "$0")/.."
micro=0
[[ ${1:-} == --micro ]] && micro=1

tools/install-deps.sh
tools/install-packages.sh libarchive-tools unzip time bc
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j2 --target ombrex-archive ombrex-archive-helper legacy-decode >/dev/null
tool=$PWD/build/ombrex-archive

cache=bench/cache
inputs=$cache/inputs-v1
mkdir -p "$inputs"
scratch=$cache/out
rm -rf "$scratch"
mkdir -p "$scratch"
trap 'rm -rf "$scratch"' EXIT

# ---- inputs, built once ----

# Text-like bytes: numbered lines with some variety, exactly N bytes. awk
# stops by itself: with pipefail, one killed by a closed pipe would fail.
text() {
    awk -v size="$1" -v seed="$2" 'BEGIN {
        for (i = 1; total < size; i++) {
            line = sprintf("%s %d %s %x\n", (i % 3 ? "alpha beta" : "gamma"), (i * 7 + seed) % 9973,
                           (i % 5 ? "x" : "delta epsilon"), i * 2654435761 % 65536)
            if (total + length(line) > size) line = substr(line, 1, size - total)
            printf "%s", line
            total += length(line)
        } }'
}

if [[ ! -f $inputs/many.zip ]]; then
    echo "building inputs: 20,000-member ZIP"
    tree=$cache/build-many; rm -rf "$tree"; mkdir -p "$tree"
    for d in $(seq 0 99); do
        mkdir -p "$tree/dir$d"
        for f in $(seq 0 199); do printf 'member %d of directory %d\n' "$f" "$d" >"$tree/dir$d/file number $f.txt"; done
    done
    (cd "$tree" && bsdtar --format zip -cf "$OLDPWD/$inputs/many.zip.part" .)
    mv "$inputs/many.zip.part" "$inputs/many.zip"; rm -rf "$tree"
fi

if [[ ! -f $inputs/large.zip ]]; then
    echo "building inputs: ~300 MiB ZIP"
    tree=$cache/build-large; rm -rf "$tree"; mkdir -p "$tree"
    text $((8 << 20)) 1 >"$tree/text"
    for d in $(seq 0 9); do
        mkdir -p "$tree/data/set $d"
        for f in $(seq 0 39); do
            # Three in four incompressible, one in four text; 1 MiB each.
            if ((f % 4)); then
                head -c $((1 << 20)) /dev/urandom >"$tree/data/set $d/random $f.bin"
            else
                dd if="$tree/text" of="$tree/data/set $d/text $f.txt" bs=1000 skip=$((d * 40 + f)) \
                   count=1049 status=none
            fi
        done
    done
    rm "$tree/text"
    (cd "$tree" && bsdtar --format zip -cf "$OLDPWD/$inputs/large.zip.part" data)
    mv "$inputs/large.zip.part" "$inputs/large.zip"; rm -rf "$tree"
fi

for kind in shrink implode-8k-3; do
    if [[ ! -f $inputs/$kind.zip ]]; then
        echo "building inputs: 64 MiB $kind member"
        text $((64 << 20)) 2 >"$cache/plain"
        build/legacy-decode wrap "$kind" "$cache/plain" "$inputs/$kind.zip.part"
        mv "$inputs/$kind.zip.part" "$inputs/$kind.zip"; rm -f "$cache/plain"
    fi
done

if [[ ! -f $inputs/index-65536.zip ]]; then
    echo "building inputs: 65,536-member ZIP of small and empty members"
    tree=$cache/build-index; rm -rf "$tree"; mkdir -p "$tree"
    for d in $(seq 0 255); do
        mkdir -p "$tree/dir$d"
        for f in $(seq 0 255); do
            if ((f % 2)); then : >"$tree/dir$d/file number $f.txt"; else printf 'member %d\n' "$f" >"$tree/dir$d/file number $f.txt"; fi
        done
    done
    # Files only: the directories are left for the index to make up, and
    # the member count stays at the default entry cap.
    (cd "$tree" && find dir* -type f | sort | bsdtar --format zip -n -T - -cf "$OLDPWD/$inputs/index-65536.zip.part")
    mv "$inputs/index-65536.zip.part" "$inputs/index-65536.zip"; rm -rf "$tree"
fi

members=4000
if [[ ! -f $inputs/ordinals.zip ]]; then
    echo "building inputs: $members-member ZIP of 16 KiB members"
    tree=$cache/build-ordinals; rm -rf "$tree"; mkdir -p "$tree"
    text $((16 << 10)) 3 >"$cache/member"
    for f in $(seq -w 0 $((members - 1))); do cp "$cache/member" "$tree/m$f.txt"; done
    rm "$cache/member"
    # Named one by one, so that member k is the k-th header and ordinal k.
    (cd "$tree" && bsdtar --format zip -cf "$OLDPWD/$inputs/ordinals.zip.part" m*.txt)
    mv "$inputs/ordinals.zip.part" "$inputs/ordinals.zip"; rm -rf "$tree"
fi

# ---- measuring ----

# median SETUP CMD...: median of 5 wall-clock seconds of CMD (stdout to
# $scratch/stdout), running the shell function SETUP before each run.
median() {
    local setup=$1; shift
    local runs=() start end
    for _ in 1 2 3 4 5; do
        "$setup"
        start=$(date +%s%N)
        "$@" >"$scratch/stdout" 2>"$scratch/stderr" || { echo "FAILED: $* ($(head -c 300 "$scratch/stderr"))" >&2; exit 1; }
        end=$(date +%s%N)
        runs+=("$((end - start))")
    done
    printf '%s\n' "${runs[@]}" | sort -n | sed -n 3p | awk '{ printf "%.3f", $1 / 1e9 }'
}

nothing() { :; }
fresh_out() { rm -rf "$scratch/x"; mkdir -p "$scratch/x"; }

# Peak resident memory of one run: the whole command under /usr/bin/time
# (the helper is a reaped child, so it is included) and the helper alone
# as the tool's --stats reports it. Prints "WHOLE HELPER" in MiB.
peak() {
    fresh_out
    /usr/bin/time -f %M -o "$scratch/time" "$tool" --stats "$@" >/dev/null 2>"$scratch/stats"
    local whole helper
    whole=$(tail -n 1 "$scratch/time")
    helper=$(sed -n 's/.*peak memory \([0-9]*\) KiB.*/\1/p' "$scratch/stats")
    awk -v w="$whole" -v h="$helper" 'BEGIN { printf "%.1f %.1f\n", w / 1024, h / 1024 }'
}

ratio() { echo "scale=2; $1 / $2" | bc | sed 's/^\./0./'; }

# The helper alone: requests come from a file, replies go nowhere.
tmpfs=${OMBREX_BENCH_TMPFS:-/dev/shm}
tmpfs_out=$tmpfs/ombrex-bench-$$
fed() { "$helper" <"$1"; }
fresh_tmpfs() { rm -rf "$tmpfs_out"; mkdir -p "$tmpfs_out"; }

# peak_of INPUT CMD...: peak resident memory of one run of CMD reading
# INPUT, in MiB.
peak_of() {
    local input=$1; shift
    /usr/bin/time -f %M -o "$scratch/time" "$@" <"$input" >/dev/null 2>&1
    awk -v k="$(tail -n 1 "$scratch/time")" 'BEGIN { printf "%.1f", k / 1024 }'
}

# le VALUE COUNT: VALUE as COUNT little-endian bytes.
le() {
    local i
    for ((i = 0; i < $2; i++)); do printf "\\x$(printf %02x $((($1 >> (8 * i)) & 255)))"; done
}

# request FILE ARCHIVE [DIRECTORY]: an open request for ARCHIVE by path with
# the default limits, then, given DIRECTORY, a materialize-all into it.
request() {
    local length
    length=$(printf %s "$2" | wc -c)
    {
        le $((0x48414D4F)) 4; le 3 2; le 2 1; le 0 1; le $((53 + length)) 4
        le "$length" 4; printf %s "$2"
        le 65536 8; le 4294967296 8; le 2147483648 8; le 0 1; le 0 8; le 0 8; le 0 8
        if [[ -n ${3:-} ]]; then
            length=$(printf %s "$3" | wc -c)
            le $((0x48414D4F)) 4; le 3 2; le 4 1; le 0 1; le $((4 + length)) 4
            le "$length" 4; printf %s "$3"
        fi
    } >"$1"
}

row() {  # row TASK OURS THEIRS_NAME THEIRS TARGET
    printf '%-34s %8ss %-12s %8ss %6s  (target %s)\n' "$1" "$2" "$3" "$4" "$(ratio "$2" "$4")" "$5"
}

echo
echo "machine: $(nproc) cores, $(awk '/model name/ { $1 = $2 = $3 = ""; print; exit }' /proc/cpuinfo | sed 's/^ *//'), $(date -u +%Y-%m-%d)"
echo "inputs: $(du -h "$inputs/many.zip" | cut -f1) many.zip (20,000 members), $(du -h "$inputs/large.zip" | cut -f1) large.zip"
echo
printf '%-34s %9s %-12s %9s %6s\n' "task" "helper" "other" "" "ratio"

ours=$(median nothing "$tool" list "$inputs/many.zip")
theirs=$(median nothing bsdtar -tf "$inputs/many.zip")
row "index 20,000 members" "$ours" "bsdtar -tf" "$theirs" "<= 1.25"
read -r many_whole many_helper < <(peak list "$inputs/many.zip")

ours=$(median fresh_out "$tool" extract-all "$inputs/large.zip" "$scratch/x")
theirs=$(median fresh_out bsdtar -xf "$inputs/large.zip" -C "$scratch/x")
row "extract-all ~300 MiB" "$ours" "bsdtar -xf" "$theirs" "<= 1.10"
theirs=$(median fresh_out unzip -q -o "$inputs/large.zip" -d "$scratch/x")
row "extract-all ~300 MiB" "$ours" "unzip -q" "$theirs" "-"
read -r large_whole large_helper < <(peak extract-all "$inputs/large.zip" "$scratch/x")

declare -A legacy_peak
for kind in shrink implode-8k-3; do
    ours=$(median nothing "$tool" extract "$inputs/$kind.zip" '#0' "$scratch/member")
    # unzip writes the same bytes to a file, as the helper does.
    theirs=$(median nothing unzip -p "$inputs/$kind.zip")
    row "decode 64 MiB $kind member" "$ours" "unzip -p" "$theirs" "<= 1.0"
    legacy_peak[$kind]=$(peak extract "$inputs/$kind.zip" '#0' "$scratch/member")
done

echo
echo "materialize member k of $members (16 KiB each): seconds, and unzip -p for the same member"
for k in 0 $((members / 4)) $((members / 2)) $((3 * members / 4)) $((members - 1)); do
    ours=$(median nothing "$tool" extract "$inputs/ordinals.zip" "#$k" "$scratch/member")
    name=$(printf 'm%04d.txt' "$k")
    theirs=$(median nothing unzip -p "$inputs/ordinals.zip" "$name")
    printf '  k = %-6d %8ss   unzip -p %8ss\n' "$k" "$ours" "$theirs"
done

echo
echo "peak memory, MiB (whole command under /usr/bin/time -f %M; the helper alone from --stats)"
printf '  %-28s %8s %8s\n' "run" "whole" "helper"
printf '  %-28s %8s %8s\n' "list 20,000 members" "$many_whole" "$many_helper"
printf '  %-28s %8s %8s   (target < 48 for extract-all)\n' "extract-all ~300 MiB" "$large_whole" "$large_helper"
for kind in shrink implode-8k-3; do
    read -r whole helper <<<"${legacy_peak[$kind]}"
    printf '  %-28s %8s %8s\n' "extract $kind" "$whole" "$helper"
done

echo
echo "the helper alone, fed a request file (materializing into $tmpfs)"
helper=$PWD/build/ombrex-archive-helper
requests=$scratch/requests
mkdir -p "$requests"
request "$requests/open-many" "$PWD/$inputs/many.zip"
request "$requests/open-65536" "$PWD/$inputs/index-65536.zip"
request "$requests/all-many" "$PWD/$inputs/many.zip" "$tmpfs_out"
request "$requests/all-large" "$PWD/$inputs/large.zip" "$tmpfs_out"
trap 'rm -rf "$scratch" "$tmpfs_out"' EXIT

ours=$(median nothing fed "$requests/open-many")
theirs=$(median nothing bsdtar -tf "$inputs/many.zip")
row "index 20,000 members" "$ours" "bsdtar -tf" "$theirs" "<= 1.15"
ours=$(median nothing fed "$requests/open-65536")
theirs=$(median nothing bsdtar -tf "$inputs/index-65536.zip")
row "index 65,536 members" "$ours" "bsdtar -tf" "$theirs" "<= 1.15"
ours=$(median fresh_tmpfs fed "$requests/all-many")
theirs=$(median fresh_tmpfs bsdtar -xf "$inputs/many.zip" -C "$tmpfs_out")
row "materialize-all 20,000 members" "$ours" "bsdtar -xf" "$theirs" "<= 1.10"
ours=$(median fresh_tmpfs fed "$requests/all-large")
theirs=$(median fresh_tmpfs bsdtar -xf "$inputs/large.zip" -C "$tmpfs_out")
row "materialize-all ~300 MiB" "$ours" "bsdtar -xf" "$theirs" "<= 1.0"
printf '  peak memory, MiB, index 65,536 members: helper %s, bsdtar -tf %s (target <= 32)\n' \
    "$(peak_of "$requests/open-65536" "$helper")" "$(peak_of /dev/null bsdtar -tf "$inputs/index-65536.zip")"
rm -rf "$tmpfs_out"

if ((micro)); then
    cmake --build build -j2 >/dev/null
    for program in build/bench/*_bench; do
        echo
        echo "== $program"
        "$program" --benchmark_min_time=0.2
    done
fi
