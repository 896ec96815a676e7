#!/usr/bin/env bash
# Cross-checks our shrink and implode decoders against Info-ZIP unzip:
#   1. every shrink/implode member of the fixture ZIPs (tests/fixtures/legacy-zip
#      and, when present, ../shared/fixtures/legacy-zip beside the work tree), byte for byte;
#   2. the bare streams under raw-streams/ there, against their plain files and,
#      wrapped in a ZIP, against unzip;
#   3. ZIPs around our own encoder's streams, every kind, on varied inputs.
# With --time it also times whole-process decoding of 64 MiB members against
# `unzip -p` (median of 5).
#
#   tools/crosscheck-legacy.sh [--time] [BUILD_DIR]   (default build; needs unzip)
set -euo pipefail
cd "$(dirname "$0")/.."

time_it=0
if [[ ${1:-} == --time ]]; then time_it=1; shift; fi
build=${1:-build}
driver=$build/legacy-decode
[[ -x $driver ]] || { echo "build $driver first (cmake --build $build --target legacy-decode)" >&2; exit 2; }
command -v unzip >/dev/null || { echo "needs unzip (apt-get install unzip)" >&2; exit 2; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
checked=0
failed=0

same() {  # same WHAT FILE_A FILE_B
    checked=$((checked + 1))
    if ! cmp -s "$2" "$3"; then
        failed=$((failed + 1))
        echo "DIFFERS: $1"
    fi
}

# unzip -Z1 lists members in central-directory order; our driver numbers
# local headers; the fixtures keep both in the same order.
check_zip() {
    local zip=$1 index name
    mapfile -t names < <(unzip -Z1 "$zip")
    while IFS=$'\t' read -r index _ _ _ _ _ _ verdict; do
        name=${names[${index#\#}]}
        "$driver" extract "$zip" "$index" >"$scratch/ours" || true
        unzip -p "$zip" "$name" >"$scratch/theirs" 2>/dev/null || true
        same "$zip $name ($verdict)" "$scratch/ours" "$scratch/theirs"
    done < <("$driver" list "$zip" || true)
}

shared=${OMBREX_SHARED_FIXTURES:-../shared/fixtures/legacy-zip}
for zip in tests/fixtures/legacy-zip/*; do check_zip "$zip"; done
if [[ -d $shared ]]; then
    while IFS= read -r zip; do check_zip "$zip"; done < <(find "$shared" -iname '*.zip' | sort)
    raw=$shared/raw-streams/megazeux
    # stream, method, flags, plain file
    while read -r stream method flags plain; do
        [[ -f $raw/$stream ]] || continue
        size=$(stat -c %s "$raw/$plain")
        "$driver" raw "$method" "$flags" "$size" "$raw/$stream" >"$scratch/ours" || true
        same "$stream (plain file)" "$scratch/ours" "$raw/$plain"
        "$driver" wrap-stream "$method" "$flags" "$raw/$plain" "$raw/$stream" "$scratch/raw.zip"
        unzip -p "$scratch/raw.zip" >"$scratch/theirs" 2>/dev/null || true
        same "$stream (unzip)" "$scratch/ours" "$scratch/theirs"
    done <<'LIST'
CN_S.CHR.shrink 1 0 CN_S.CHR
CN_S.CHR.implode 6 0x0000 CN_S.CHR
dch1.shrink 1 0 dch1.txt
dch1.implode 6 0x0006 dch1.txt
freaksof.shrink 1 0 FREAKSOF.MZX
freaksof.implode 6 0x0000 FREAKSOF.MZX
ct_level.shrink 1 0 CT_LEVEL.MOD
ct_level.implode 6 0x0000 CT_LEVEL.MOD
LIST
fi

# Inputs for our encoders: text, a binary, zeros, incompressible bytes, one long run.
seq 1 400000 | awk '{ printf "%s line %d of the sample %x\n", ($1 % 7 ? "plain" : "odd"), $1, $1 * 2654435761 }' \
    >"$scratch/text"
cp "$driver" "$scratch/binary"
head -c 3000000 /dev/zero >"$scratch/zeros"
head -c 1000000 /dev/urandom >"$scratch/random"
{ head -c 5000 /dev/zero; head -c 200000 "$scratch/text"; } >"$scratch/zeros-first"
tr '\0' 'x' <"$scratch/zeros" >"$scratch/run"
kinds="shrink implode-4k-2 implode-4k-3 implode-8k-2 implode-8k-3"
for input in text binary zeros random zeros-first run; do
    for kind in $kinds; do
        "$driver" wrap "$kind" "$scratch/$input" "$scratch/ours.zip"
        unzip -p "$scratch/ours.zip" >"$scratch/theirs" 2>/dev/null || true
        same "$input as $kind (unzip)" "$scratch/$input" "$scratch/theirs"
        "$driver" extract "$scratch/ours.zip" '#0' >"$scratch/ours" || true
        same "$input as $kind (ours)" "$scratch/$input" "$scratch/ours"
    done
done

echo "$((checked - failed)) passed, $failed failed"

if ((time_it)); then
    median() {  # median of 5 wall-clock seconds of a command
        local runs=() start end
        for _ in 1 2 3 4 5; do
            start=$(date +%s.%N)
            "$@" >/dev/null
            end=$(date +%s.%N)
            runs+=("$(echo "$end - $start" | bc)")
        done
        printf '%s\n' "${runs[@]}" | sort -n | sed -n 3p
    }
    # 64 MiB of text-like data (repeated lines with varying numbers).
    awk 'BEGIN { for (i = 1; i <= 4000000; i++)
                     printf "%s %d %s\n", (i % 3 ? "alpha beta" : "gamma"), i % 9973, (i % 5 ? "x" : "delta epsilon") }' \
        >"$scratch/big"
    truncate -s 64M "$scratch/big"
    for kind in $kinds; do
        "$driver" wrap "$kind" "$scratch/big" "$scratch/big.zip"
        ours=$(median "$driver" extract "$scratch/big.zip" '#0')
        theirs=$(median unzip -p "$scratch/big.zip")
        echo "$kind: legacy-decode ${ours}s, unzip -p ${theirs}s, ratio unzip/ours $(echo "scale=2; $theirs / $ours" | bc)"
    done
fi
((failed == 0))
