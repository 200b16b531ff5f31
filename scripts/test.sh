#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#
#   ./scripts/test.sh
#   BUILD_DIR=build-asan CMAKE_ARGS="-DFLVSPLICE_SANITIZE=ON" ./scripts/test.sh
#
# BUILD_DIR: build directory (default: build). CMAKE_ARGS: extra arguments for
# the configure step, split at spaces. JOBS: parallel jobs (default: 2).
# CTEST_ARGS: extra arguments for ctest, split at spaces (e.g. "-LE big").
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh

build="${BUILD_DIR:-build}"
jobs="${JOBS:-2}"
read -r -a extra <<<"${CMAKE_ARGS:-}"
read -r -a ctest_extra <<<"${CTEST_ARGS:-}"

cmake -S . -B "$build" -G Ninja -DFLVSPLICE_BUILD_TESTS=ON "${extra[@]}"
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure -j "$jobs" "${ctest_extra[@]}"
