#!/usr/bin/env bash
# The test suite: install, build, run every test with CTest, check the
# installed program and its Debian package (scripts/install-check.sh), then
# the core tests (label "core") once more in an AddressSanitizer + UBSan build.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
scripts/install-deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORBANIX_BUILD_TESTS=ON -DORBANIX_BUILD_GUI=ON \
  -DORBANIX_BUILD_BENCH=ON
(cd build && ctest --output-on-failure --no-tests=error -j2)
scripts/install-check.sh build
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORBANIX_SANITIZE=ON -DORBANIX_BUILD_TESTS=ON \
  -DORBANIX_BUILD_GUI=OFF -DORBANIX_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$(nproc)" --target core_tests
(cd build-asan && ctest --output-on-failure --no-tests=error -j2 -L core)
