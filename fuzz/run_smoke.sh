#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a bounded time on the committed
# corpus. Exits non-zero when a target finds a crash, a leak or a timeout.
#
#   fuzz/run_smoke.sh [SECONDS]      (default 60 per target)
#
# Environment: BUILD_DIR (default build-fuzz at the top of the tree),
# FUZZ_JOBS (parallel fuzzing processes per target, default 1).
# A failing target leaves its reproducer (crash-*, leak-*, timeout-*) in a
# directory that the output names.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
seconds="${1:-60}"
build="${BUILD_DIR:-$root/build-fuzz}"
jobs="${FUZZ_JOBS:-1}"

if ! command -v clang++ >/dev/null || ! dpkg -s libclang-rt-14-dev >/dev/null 2>&1; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update
    $sudo apt-get install -y clang libclang-rt-14-dev cmake ninja-build
fi

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
CXX=clang++ cmake -S "$here" -B "$build" "${generator[@]}"
cmake --build "$build" -j2

status=0
for target in fuzz_document fuzz_errors; do
    # New inputs go to a scratch corpus; the committed one stays as it is.
    work="$(mktemp -d)"
    mkdir "$work/corpus"
    parallel=()
    [ "$jobs" -gt 1 ] && parallel=(-jobs="$jobs" -workers="$jobs")
    echo "== $target: $seconds s"
    if ! (cd "$work" && "$build/$target" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 "${parallel[@]}" \
        "$work/corpus" "$here/corpus/${target#fuzz_}"); then
        echo "$target: FAILED; the reproducer is in $work" >&2
        status=1
        continue
    fi
    rm -rf "$work"
done
exit $status
