#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the main build through ctest,
# then the core tests under AddressSanitizer + UndefinedBehaviorSanitizer, then a short fuzzing run.
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh test

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TESTS=ON -DVELMORA_BENCH=ON >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON -DVELMORA_GUI=OFF -DVELMORA_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs" --target velmora_core_tests
(cd build-asan && ./tests/velmora_core_tests --gtest_brief=1)

if [ -d fuzz ] && ls fuzz/fuzz_*.cpp >/dev/null 2>&1; then
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_FUZZ=ON \
        -DVELMORA_GUI=OFF -DVELMORA_TESTS=OFF -DVELMORA_BENCH=OFF >/dev/null
    cmake --build build-fuzz -j"$jobs"
    ./fuzz/run-fuzzers.sh build-fuzz "${VELMORA_FUZZ_SECONDS:-30}"
fi
echo "All tests passed."
