#!/usr/bin/env bash
# Builds the library (release) and runs the demo programs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
for demo in scripts/demo.d/*.sh; do
  [ -e "$demo" ] && bash "$demo" build/release
done
