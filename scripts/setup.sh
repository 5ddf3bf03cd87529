#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian machine:
# the native toolchain, the MinGW-w64 cross compilers (i686 and x86_64), wine with its
# 32-bit and 64-bit halves, SDL2, the codec libraries (Vorbis, FLAC, Opus) and the tools
# the tests call. Safe to run again: it only installs what is missing.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  NEED_UPDATE=1
fi

# The Windows builds compile libogg and libvorbis from Debian's source packages
# (scripts/fetch-vorbis-sources.sh): turn on the source entries of the Debian sources
# already configured where they are off. No source is added.
enable_deb_src() {
  local f changed=0
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    grep -qi 'debian' "$f" || continue
    if grep -qE '^Types:[[:space:]]*deb[[:space:]]*$' "$f"; then
      sed -i -E 's/^Types:[[:space:]]*deb[[:space:]]*$/Types: deb deb-src/' "$f"
      changed=1
    fi
  done
  f=/etc/apt/sources.list
  if [ -f "$f" ]; then
    while IFS= read -r line; do
      src="deb-src${line#deb}"
      if ! grep -qxF "$src" "$f"; then
        echo "$src" >>"$f"
        changed=1
      fi
    done < <(grep -E '^deb[[:space:]].*debian' "$f")
  fi
  [ $changed -eq 0 ] || NEED_UPDATE=1
}
enable_deb_src

for p in build-essential cmake ninja-build clang libclang-rt-14-dev libgtest-dev libgmock-dev \
         libbenchmark-dev g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools \
         wine wine32:i386 wine64 binutils-mingw-w64-x86-64 \
         libsdl2-dev libc-bin binutils-mingw-w64-i686 sox valgrind pkg-config \
         libvorbis-dev libogg-dev vorbis-tools dpkg-dev \
         libflac-dev libopus-dev libopusfile-dev libopusenc-dev flac opus-tools \
         zlib1g-dev; do
  have "$p" || need+=("$p")
done

if [ ${#need[@]} -gt 0 ] || [ -n "${NEED_UPDATE:-}" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
fi
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
