#!/usr/bin/env bash
# Builds the three targets and runs every test: the host build on the Linux back end with the
# tests' scripted processes and services (plainly and under AddressSanitizer and
# UndefinedBehaviorSanitizer), the 64-bit Windows build
# under Wine, and the 32-bit shipping build under 32-bit Wine in a WoW64 prefix (about 6 minutes,
# and 5 more the first time, while that prefix is made).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh

cmake -S . -B build/host -G Ninja
cmake --build build/host
cmake -S . -B build/host-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVEXPURGE_SANITIZE=ON
cmake --build build/host-sanitize
cmake -S . -B build/win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
      -DVEXPURGE_HOST_BUILD="$PWD/build/host"
cmake --build build/win64
cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
      -DVEXPURGE_HOST_BUILD="$PWD/build/host" -DVEXPURGE_WIN64_BUILD="$PWD/build/win64"
cmake --build build/win32

status=0
# Formatting and the direction of includes.
tools/check-source.sh || status=1
ctest --test-dir build/host --output-on-failure -j "$(nproc)" || status=1
ctest --test-dir build/host-sanitize --output-on-failure -j "$(nproc)" || status=1
# A short run of every fuzz target (tools/fuzz.sh --seconds 600 runs them long).
tools/fuzz.sh --seconds 5 || status=1
ctest --test-dir build/win32 --output-on-failure || status=1
ctest --test-dir build/win64 --output-on-failure || status=1
if [ $status -ne 0 ]; then echo "tools/test.sh: some tests FAILED" >&2; fi
exit $status
