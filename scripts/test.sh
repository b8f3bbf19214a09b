#!/usr/bin/env bash
# Builds and runs the whole suite: release (tests, benchmarks run once,
# examples), AddressSanitizer + UndefinedBehaviorSanitizer, the libFuzzer
# targets briefly, and the threaded tests under ThreadSanitizer.
# Warnings are errors here. Usage: scripts/test.sh [preset ...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(release asan fuzz tsan)

step() { printf '\n==== %s ====\n' "$*"; }

for preset in "${presets[@]}"; do
  step "configure $preset"
  cmake --preset "$preset" -DZRSHARED_WERROR=ON >/dev/null
  step "build $preset"
  cmake --build --preset "$preset" -j "$jobs"
  case "$preset" in
    fuzz)
      for f in build/fuzz/fuzz/*_fuzz; do
        [ -x "$f" ] || continue
        step "fuzz $(basename "$f") (10 s)"
        corpus=$(mktemp -d)
        "$f" -max_total_time=10 -print_final_stats=0 "$corpus" 2>&1 | tail -n 2
        rm -rf "$corpus"
      done
      ;;
    *)
      step "test $preset"
      ctest --preset "$preset" -j "$jobs"
      if [ "$preset" = release ]; then
        for b in build/release/bench/zr_*_bench; do
          [ -x "$b" ] || continue
          step "benchmark $(basename "$b") (one brief run)"
          "$b" --benchmark_min_time=0.01 >/dev/null
          echo ok
        done
        step "demo"
        for demo in scripts/demo.d/*.sh; do [ -e "$demo" ] && bash "$demo" build/release; done
      fi
      ;;
  esac
done
step "all suites passed: ${presets[*]}"
