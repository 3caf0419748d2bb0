#!/usr/bin/env bash
# Line and branch coverage of the product code by the Linux suite: a gcc --coverage build of its
# own (no sanitizers, they would count their own branches), every ctest test, then gcovr over the
# product folders only (tools/publish ships; the stand-in and build-time tools do not).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="${JOBS:-1}"
build=build/coverage
# Atomic counters: the run and the publisher count from several threads, and plain counters lose
# updates (gcov then reads negative branch counts).
flags="--coverage -fprofile-update=atomic"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQS_SANITIZE= -DQS_BUILD_APP=ON \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage
cmake --build "$build" -j "$jobs"
find "$build" -name '*.gcda' -delete
# CMake's compiler probe is built with the flags too; it is no code of ours.
find "$build/CMakeFiles" -path '*CompilerId*' -name '*.gcno' -delete
(cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 600) || echo "coverage: some tests failed; figures below are for the tests that ran"
gcovr --root . --object-directory "$build" \
    --exclude '(.+/)?tests/' --exclude '(.+/)?fuzz/' --exclude '(.+/)?bench/' \
    --exclude '(.+/)?tools/(standin|imagegen|page_snapshot)/' --exclude '(.+/)?\.deps/' --exclude '(.+/)?build/' \
    --exclude-unreachable-branches --exclude-throw-branches \
    --print-summary --txt "$build/coverage.txt"
echo "coverage: per-file table in $build/coverage.txt"
