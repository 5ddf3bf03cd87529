#!/usr/bin/env bash
# Fetches the Debian source packages of the codec libraries (libogg, libvorbis, flac, opus,
# opusfile, libopusenc), at exactly the versions the machine's package lists give for their
# -dev packages, and unpacks them (Debian's patches applied) into build/third_party/. The
# Windows builds compile them statically (cmake/vorbis-mingw.cmake, cmake/codecs-mingw.cmake).
# Needs the deb-src entries scripts/setup.sh turns on.
# Usage: fetch-vorbis-sources.sh [destination]   Prints the source folders, one a line, in
# the order fetched below.
set -euo pipefail
cd "$(dirname "$0")/.."
dest=${1:-build/third_party}
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)

# The version apt-cache policy shows: the installed one, else the candidate.
version_of() {
  local v
  v=$(apt-cache policy "$1" | awk '/Installed:/ {print $2; exit}')
  if [ -z "$v" ] || [ "$v" = "(none)" ]; then
    v=$(apt-cache policy "$1" | awk '/Candidate:/ {print $2; exit}')
  fi
  [ -n "$v" ] && [ "$v" != "(none)" ] || { echo "fetch-vorbis-sources: no version of $1" >&2; exit 1; }
  echo "$v"
}

fetch() {  # source package, binary package it must match
  local src=$1 bin=$2 version upstream dir
  version=$(version_of "$bin")
  upstream=${version#*:}
  upstream=${upstream%-*}
  dir="$dest/$src-$upstream"
  if [ -f "$dir/.sonaflux-version" ] && [ "$(cat "$dir/.sonaflux-version")" = "$version" ]; then
    echo "$dir"
    return
  fi
  rm -rf "$dir"
  (cd "$dest" && apt-get source -qq "$src=$version" >&2) || {
    echo "fetch-vorbis-sources: apt-get source $src=$version failed (deb-src entries on? dpkg-dev installed?)" >&2
    exit 1
  }
  [ -d "$dir" ] || { echo "fetch-vorbis-sources: $dir was not unpacked" >&2; exit 1; }
  echo "$version" >"$dir/.sonaflux-version"
  echo "$dir"
}

fetch libogg libogg-dev
fetch libvorbis libvorbis-dev
fetch flac libflac-dev
fetch opus libopus-dev
fetch opusfile libopusfile-dev
fetch libopusenc libopusenc-dev
