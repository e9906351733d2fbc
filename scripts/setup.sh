#!/usr/bin/env bash
# Installs the build and test dependencies that are missing (Debian 12).
# Runs as root, or through sudo when not root.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config clang libclang-rt-dev
          libmd-dev libpam0g-dev liburing-dev libgtest-dev libgmock-dev libbenchmark-dev
          libboost-context-dev)
# The DES cipher of the logon password.
packages+=(nettle-dev)
# Reverse name lookups of clients with a time limit, off the server thread.
packages+=(libc-ares-dev)
# The yardstick of the B-tree benchmark (bench/ only).
packages+=(liblmdb-dev)
# The status pages' tests open them in a real browser (headless).
packages+=(chromium)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
