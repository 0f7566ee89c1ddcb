#!/usr/bin/env bash
# Builds Sentrel and runs every test (unit and end-to-end) under Wine.
#   scripts/test.sh            all tests
#   scripts/test.sh -L unit    only unit tests (any further arguments go to ctest)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
# Warnings are errors here (and so in CI): the build stays free of them.
cmake --preset mingw -DSENTREL_WERROR=ON >/dev/null
cmake --build --preset mingw
# Two cores: unit tests run two at a time; end-to-end tests take a lock and run one at a time.
ctest --preset mingw --timeout 900 "$@"
