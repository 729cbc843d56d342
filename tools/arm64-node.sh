#!/usr/bin/env bash
# Runs Debian's arm64 node under qemu-user: `arm64-node.sh DIR [node args]`.
# The node binary and its library come from the arm64 packages, unpacked into
# DIR with the script builtins it reads from /usr/share/nodejs (qemu looks
# there first; installing nodejs:arm64 would replace the host's node); the other
# libraries it links are the multiarch arm64 ones the bootstrap installs.
set -euo pipefail
dir=$(realpath -m "$1")
shift
if [ ! -x "$dir/usr/bin/node" ]; then
  mkdir -p "$dir/debs"
  (cd "$dir/debs" && apt-get download -qq -o APT::Sandbox::User=root \
    nodejs:arm64 libnode108:arm64 node-acorn node-cjs-module-lexer node-undici node-busboy)
  for deb in "$dir"/debs/*.deb; do dpkg-deb -x "$deb" "$dir"; done
fi
if [ $# -eq 0 ]; then set -- --version; fi
exec qemu-aarch64 -L "$dir" -E "LD_LIBRARY_PATH=$dir/usr/lib/aarch64-linux-gnu" "$dir/usr/bin/node" "$@"
