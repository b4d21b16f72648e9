#!/usr/bin/env bash
# Builds and runs the benchmarks (linux preset, optimised). Results go to
# standard output; pass --tiny for a one-iteration smoke run. The regedit
# comparison needs Wine (installed by tools/test.sh) and takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
install_packages cmake ninja-build g++ python3 libgtest-dev libgmock-dev libbenchmark-dev >&2
cmake --preset linux >/dev/null
cmake --build --preset linux --target reg_io_bench uninstall_bench wide_text_bench uninstall-sim >/dev/null
for b in wide_text_bench uninstall_bench reg_io_bench; do
    ./build/linux/bench/$b "$@"
done
if [ "${1:-}" = --tiny ]; then
    python3 bench/capture_bench.py --sim build/linux/uninstall-sim --keys 100 --runs 1
else
    python3 bench/capture_bench.py --sim build/linux/uninstall-sim
fi
