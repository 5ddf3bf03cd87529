# Sourced by the bench scripts: installs the Debian packages they need and that the build
# and the tests do not (scripts/setup.sh installs those), when missing.
bench_install_missing() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing ${missing[*]}"
  (apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}" ||
   { apt-get update && apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends \
       "${missing[@]}"; }) >/dev/null
}
