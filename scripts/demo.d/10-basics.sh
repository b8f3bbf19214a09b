#!/usr/bin/env bash
# The library's basics: version, identification, list and exception.
set -euo pipefail
"$1/examples/zr-demo"
