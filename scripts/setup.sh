#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian machine:
# the native toolchain, the MinGW-w64 cross compilers (i686 and x86_64), wine with its
# 32-bit and 64-bit halves, SDL2 and the tools the tests call. Safe to run again: it only installs what is missing.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  NEED_UPDATE=1
fi

for p in build-essential cmake ninja-build clang libclang-rt-14-dev libgtest-dev libgmock-dev \
         libbenchmark-dev g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools \
         wine wine32:i386 wine64 binutils-mingw-w64-x86-64 \
         libsdl2-dev libc-bin binutils-mingw-w64-i686 sox valgrind pkg-config; do
  have "$p" || need+=("$p")
done

if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
