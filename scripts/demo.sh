#!/usr/bin/env bash
# Builds the library and the demo programs (release) and runs the demos.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# Configured as scripts/test.sh configures it, so that the suite reuses this
# build instead of compiling the tree again with other flags.
cmake --preset release -DZRSHARED_WERROR=ON >/dev/null
cmake --build --preset release --target examples
for demo in scripts/demo.d/*.sh; do
  [ -e "$demo" ] && bash "$demo" build/release
done
