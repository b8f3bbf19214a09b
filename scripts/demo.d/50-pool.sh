#!/usr/bin/env bash
# Buffer reuse by size and ordered locking.
set -euo pipefail
"$1/examples/zr-pool-demo"
