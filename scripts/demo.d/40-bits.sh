#!/usr/bin/env bash
# Bit runs: set, print, compare and match at different bit offsets.
set -euo pipefail
"$1/examples/zr-bits-demo"
