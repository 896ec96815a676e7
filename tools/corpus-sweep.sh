#!/usr/bin/env bash
# Every archive of the archive library's own test data through the sanitizer
# build of the helper: open, then materialize all. Run by hand:
#   tools/corpus-sweep.sh [LIBARCHIVE_TEST_DIR]
# The test data is the libarchive/test/*.uu of Debian's source package
# (apt-get source libarchive); without an argument it is fetched into
# build-sweep/. Prints the code and message per file and fails on any crash,
# sanitizer report, hang, protocol violation or code outside 0..13.
set -uo pipefail
cd "$(dirname "$0")/.."
work=build-sweep
per_file_seconds=${OMBREX_SWEEP_SECONDS:-300}
mkdir -p "$work"

source_dir=${1:-}
if [[ -z $source_dir ]]; then
  if ! compgen -G "$work/source/libarchive-*/libarchive/test" >/dev/null; then
    (mkdir -p "$work/source" && cd "$work/source" && apt-get source -qq libarchive >/dev/null) || exit 1
  fi
  source_dir=$(compgen -G "$work/source/libarchive-*/libarchive/test" | head -1)
fi

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# The sanitizer tree as tools/test.sh configures it; only the two programs used here are built.
cmake -S . -B build-asan -G Ninja -DOMBREX_SANITIZE=ON -DOMBREX_BUILD_BENCHMARKS=OFF >/dev/null || exit 1
cmake --build build-asan --target ombrex-archive-helper corpus-sweep-driver || exit 1

# The .uu files hold one uuencoded archive each.
archives=$work/archives
rm -rf "$archives" && mkdir -p "$archives"
python3 - "$source_dir" "$archives" <<'PY'
import binascii, pathlib, sys
source, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
for uu in sorted(source.glob("*.uu")):
    data, inside = bytearray(), False
    for line in uu.read_bytes().splitlines():
        if line.startswith(b"begin "):
            inside = True
        elif line.strip() == b"end":
            break
        elif inside and line.strip():
            try:
                data += binascii.a2b_uu(line)
            except binascii.Error:  # lines padded short by some encoders
                nbytes = (((line[0] - 32) & 63) * 4 + 5) // 3
                data += binascii.a2b_uu(line[:nbytes])
    (out / uu.name[:-3]).write_bytes(bytes(data))
PY

total=0 failed=0
declare -A codes=()
for archive in "$archives"/*; do
  total=$((total + 1))
  scratch=$(mktemp -d "$work/scratch.XXXXXX")
  result=$(timeout --kill-after=10 "$per_file_seconds" build-asan/corpus-sweep-driver build-asan/ombrex-archive-helper \
             "$archive" "$scratch" 2>&1)
  rc=$?
  rm -rf "$scratch"
  if ((rc == 124 || rc == 137)); then result="VIOLATION: no answer within ${per_file_seconds} s"; rc=1; fi
  printf '%s: %s\n' "$(basename "$archive")" "$result" | head -40
  if ((rc != 0)); then
    failed=$((failed + 1))
  else
    code=${result#open }
    code=${code%% *}
    codes[$code]=$((${codes[$code]:-0} + 1))
  fi
done
printf '\n%d archives, %d violations; open codes:' "$total" "$failed"
for code in $(printf '%s\n' "${!codes[@]}" | sort -n); do printf ' %s=%d' "$code" "${codes[$code]}"; done
printf '\n'
((failed == 0))
