#!/usr/bin/env bash
# Builds the simulator and runs the uninstaller against a copy of an example
# machine (default: examples/win98). The result is left in build/run/NAME.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
install_packages cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev >&2

machine="${1:-examples/win98}"
cmake --preset linux >/dev/null
cmake --build --preset linux --target uninstall-sim >/dev/null
run="build/run/$(basename "$machine")"
rm -rf "$run" && mkdir -p build/run && cp -r "$machine" "$run"
shift || true
./build/linux/uninstall-sim "$@" "$run"
