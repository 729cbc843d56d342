#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine: the
# Debian packages when running as root (otherwise prints the apt-get line and
# stops), then the npm dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(libjsoncpp-dev libgtest-dev libgmock-dev cmake ninja-build g++ pkg-config iproute2 util-linux)
extra=("$@")
missing=()
for p in "${packages[@]}" "${extra[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "bootstrap: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "bootstrap: missing packages; run:"
    echo "  sudo apt-get install -y ${missing[*]}"
    exit 1
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
