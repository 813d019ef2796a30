#!/bin/bash
# test-all.sh: installs what is missing, builds, and runs every test.
# Needs root: the lab tests build network namespaces.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPOLL_CLIENT_TESTS=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure
