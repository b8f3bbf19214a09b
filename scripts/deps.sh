#!/usr/bin/env bash
# Installs the Debian packages the build needs, when any is missing.
set -euo pipefail
pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev pkg-config zlib1g-dev
      libgtest-dev libgmock-dev libbenchmark-dev libuv1-dev libdeflate-dev libisal-dev gcovr)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "deps: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
# apt's output is shown only when it fails.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { $SUDO apt-get update -qq && \
       $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "deps: installing ${missing[*]} failed" >&2
  exit 1
fi
