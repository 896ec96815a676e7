#!/usr/bin/env bash
# Cross-builds the static libraries the Windows helper links (bzip2, liblzma,
# libzstd, libarchive) from Debian's source packages, and prints the prefix
# they were installed into. zlib comes prebuilt from libz-mingw-w64-dev.
#
# The result is cached outside the work tree, keyed by this script's content,
# so fresh clones (and CI) on the same machine reuse it:
#   ${OMBREX_WINDOWS_DEPS_CACHE:-~/.cache/ombrex-windows-deps}/<key>
set -euo pipefail
cd "$(dirname "$0")/.."

host=x86_64-w64-mingw32
# Pinned to bookworm's versions; the security suite's source of a package can
# be missing from the mirror even when its index lists it, so a pin that
# cannot be fetched falls back to whatever apt offers.
sources=(bzip2=1.0.8-5 xz-utils=5.4.1-1+deb12u2 libzstd=1.5.4+dfsg2-5 libarchive=3.6.2-1+deb12u5)

key=$(sha256sum "$0" | cut -c1-16)
cache_root=${OMBREX_WINDOWS_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ombrex-windows-deps}
prefix=$cache_root/$key
if [[ -f $prefix/.complete ]]; then
  echo "$prefix"
  exit 0
fi

jobs=${OMBREX_JOBS:-2}
work=$(mktemp -d "$cache_root.work.XXXXXX" 2>/dev/null || { mkdir -p "$cache_root" && mktemp -d "$cache_root.work.XXXXXX"; })
trap 'rm -rf "$work"' EXIT
rm -rf "$prefix"
mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"
log=$work/build.log
echo "building the Windows libraries into $prefix (log: $log while it runs)" >&2

fetch() {
  local pinned=$1 name=${1%%=*}
  (cd "$work" && { apt-get source -qq "$pinned" || apt-get source -qq "$name"; }) >>"$log" 2>&1 ||
    { echo "cannot fetch the source of $name" >&2; tail -20 "$log" >&2; exit 1; }
  # The unpacked folder is NAME-VERSION; upstream version only.
  find "$work" -maxdepth 1 -type d -name "$name-*" | head -1
}

run() {
  "$@" >>"$log" 2>&1 || { echo "failed: $*" >&2; tail -40 "$log" >&2; exit 1; }
}

export CC=$host-gcc AR=$host-ar RANLIB=$host-ranlib
export CFLAGS="-O2"

# bzip2 has no cross-aware build; its library is seven C files.
dir=$(fetch "${sources[0]}")
(
  cd "$dir"
  objects=()
  for file in blocksort huffman crctable randtable compress decompress bzlib; do
    run "$CC" $CFLAGS -D_FILE_OFFSET_BITS=64 -c "$file.c" -o "$file.o"
    objects+=("$file.o")
  done
  run "$AR" rcs "$prefix/lib/libbz2.a" "${objects[@]}"
  cp bzlib.h "$prefix/include/"
)

dir=$(fetch "${sources[1]}")
(
  cd "$dir"
  run ./configure --host=$host --prefix="$prefix" --disable-shared --enable-static \
    --enable-threads=vista --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo \
    --disable-lzma-links --disable-scripts --disable-doc --disable-nls
  run make -j"$jobs" -C src/liblzma
  run make -C src/liblzma install
)

dir=$(fetch "${sources[2]}")
(
  cd "$dir"
  # Single-threaded static library, the library's default for static builds.
  run make -j"$jobs" -C lib libzstd.a
  run make -C lib install-static install-includes install-pc PREFIX="$prefix"
)

dir=$(fetch "${sources[3]}")
(
  cd "$dir"
  # CMake's cross configure of this libarchive release crashes; autotools works.
  # Debian's patches touch the autotools inputs, so regenerate with the
  # installed libtool rather than let make rerun half of it.
  run autoreconf -fi
  run ./configure --host=$host --prefix="$prefix" --disable-shared --enable-static \
    --disable-bsdtar --disable-bsdcpio --disable-bsdcat --disable-acl --disable-xattr \
    --with-zlib --with-bz2lib --with-lzma --with-zstd \
    --without-lz4 --without-libb2 --without-openssl --without-nettle --without-mbedtls \
    --without-xml2 --without-expat --without-iconv \
    CPPFLAGS="-I$prefix/include -I/usr/$host/include" LDFLAGS="-L$prefix/lib -L/usr/$host/lib"
  run make -j"$jobs" libarchive.la
  run make install-libLTLIBRARIES install-includeHEADERS install-pkgconfigDATA
)

touch "$prefix/.complete"
echo "$prefix"
