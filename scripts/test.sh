#!/bin/sh
# Builds Quillon and runs the whole test suite. Installs what is missing first.
set -e
cd "$(dirname "$0")/.."
scripts/install-packages.sh $(cat scripts/build-packages.txt scripts/test-packages.txt)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
# A fresh machine has only what the package lists name: stop here, naming the package, if the
# build, the tests or the scripts use any other.
/usr/bin/python3 scripts/check-packages.py
cd build && ctest --output-on-failure -j2
