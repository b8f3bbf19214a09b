#!/usr/bin/env bash
# Builds and runs the whole suite: release (tests, benchmarks run once,
# examples), AddressSanitizer + UndefinedBehaviorSanitizer, the libFuzzer
# targets briefly, the threaded tests under ThreadSanitizer, and the suite
# once more with coverage, whose line and branch figures for the library it
# prints. Warnings are errors here. Usage: scripts/test.sh [preset ...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(release asan fuzz tsan coverage)

step() { printf '\n==== %s ====\n' "$*"; }

for preset in "${presets[@]}"; do
  step "configure $preset"
  cmake --preset "$preset" -DZRSHARED_WERROR=ON >/dev/null
  step "build $preset"
  cmake --build --preset "$preset" -j "$jobs"
  case "$preset" in
    fuzz)
      # Each target starts from its committed corpus (every file in it is
      # replayed, found crashes included) with its dictionary. libFuzzer adds
      # new inputs to the first corpus directory only, so a scratch directory
      # goes first and the repository's stays untouched.
      for f in build/fuzz/fuzz/*_fuzz; do
        [ -x "$f" ] || continue
        name=$(basename "$f")
        step "fuzz $name (10 s)"
        args=(-max_total_time=10 -print_final_stats=0 -artifact_prefix="$PWD/build/fuzz/$name-")
        [ -f "fuzz/$name.dict" ] && args+=(-dict="fuzz/$name.dict")
        scratch=$(mktemp -d)
        corpora=("$scratch")
        [ -d "fuzz/corpus/$name" ] && corpora+=("fuzz/corpus/$name")
        status=0
        "$f" "${args[@]}" "${corpora[@]}" >"$scratch.log" 2>&1 || status=$?
        grep -E '^#[0-9]+[[:space:]]+DONE|^Done' "$scratch.log" || true
        [ "$status" -eq 0 ] || grep -v -E '^#[0-9]+[[:space:]]' "$scratch.log"
        rm -rf "$scratch" "$scratch.log"
        [ "$status" -eq 0 ] || { echo "$name failed; the input is in build/fuzz/$name-*" >&2; exit 1; }
      done
      ;;
    coverage)
      step "test coverage"
      # Counters add up across runs: start from zero.
      find build/coverage -name '*.gcda' -delete
      ctest --preset coverage -j "$jobs"
      step "coverage of the library (libs/)"
      # CMake's compiler probe leaves counters too (CMakeFiles/<version>/).
      # The per-file report goes to a file: gcovr replaces its output file,
      # so it must never be given a device such as /dev/null.
      gcovr -r . --object-directory build/coverage --filter 'libs/' --exclude-unreachable-branches \
        --exclude-throw-branches --exclude-directories 'build/coverage/CMakeFiles/[0-9]' \
        --print-summary -o build/coverage/coverage.txt
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
