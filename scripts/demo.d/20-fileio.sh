#!/usr/bin/env bash
# File I/O: buffered writes, Copy into a stdio stream, whole-buffer reads.
set -euo pipefail
"$1/examples/zr-fileio"
