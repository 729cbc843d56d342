#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine: the
# Debian packages when running as root (otherwise prints the apt-get line and
# stops), then the npm dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(libjsoncpp-dev libgtest-dev libgmock-dev cmake ninja-build g++ pkg-config iproute2 util-linux)
# Extras written "optional:NAME" are optional: installed when possible, and a test that
# needs one says why it skips when it is not there.
extra=()
optional=()
for p in "$@"; do
  case "$p" in
    optional:*) optional+=("${p#optional:}") ;;
    *) extra+=("$p") ;;
  esac
done
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in "${packages[@]}" "${extra[@]}"; do
  installed "$p" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "bootstrap: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Packages of another architecture (NAME:arm64, for the cross build and
    # its tests) need that architecture known to dpkg first.
    for p in "${missing[@]}"; do
      arch=${p##*:}
      [ "$arch" != "$p" ] || continue
      dpkg --print-architecture | grep -qx "$arch" || dpkg --print-foreign-architectures | grep -qx "$arch" ||
        dpkg --add-architecture "$arch"
    done
    apt-get update -qq
    # Never remove what is there (a node of another origin, say) to make room.
    apt-get install -y -qq --no-install-recommends --no-remove "${missing[@]}" >/dev/null
  else
    echo "bootstrap: missing packages; run:"
    echo "  sudo apt-get install -y ${missing[*]}"
    exit 1
  fi
fi

missing_optional=()
for p in "${optional[@]}"; do
  installed "$p" || missing_optional+=("$p")
done
if [ ${#missing_optional[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "bootstrap: installing ${missing_optional[*]} (optional)"
    export DEBIAN_FRONTEND=noninteractive
    { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing_optional[@]}" >/dev/null; } ||
      echo "bootstrap: could not install ${missing_optional[*]}; the tests that need it will skip"
  else
    echo "bootstrap: optional ${missing_optional[*]} not installed; the tests that need it will skip (sudo apt-get install -y ${missing_optional[*]})"
  fi
fi

# npm ci only when the lock file's content changed since the last install
# (a content check, not a time check: checkouts and merges touch the file).
stamp=node_modules/.lc-bootstrap
sum=$(sha256sum package-lock.json | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$sum" ]; then
  npm ci --ignore-scripts --no-audit --no-fund
  echo "$sum" > "$stamp"
fi
