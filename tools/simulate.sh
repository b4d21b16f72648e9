#!/usr/bin/env bash
# Builds the simulator and runs the uninstaller against a copy of a machine
# folder (default: examples/win98), left in build/run/NAME; a capture is only
# previewed. Options (--dry-run, --trace, --undo KIT, --result DIR) go before
# or after the machine; paths are taken from where the script is called.
set -euo pipefail
args=() machine=""
while [ $# -gt 0 ]; do
    case "$1" in
    --undo | --result)
        [ $# -ge 2 ] || { echo "simulate.sh: $1 needs a folder" >&2; exit 2; }
        args+=("$1" "$(realpath -m -- "$2")"); shift 2 ;;
    -*) args+=("$1"); shift ;;
    *)
        [ -z "$machine" ] || { echo "simulate.sh: one machine only" >&2; exit 2; }
        machine="$(realpath -m -- "$1")"; shift ;;
    esac
done
cd "$(dirname "$0")/.."
source tools/deps.sh
install_packages cmake ninja-build g++ python3 libgtest-dev libgmock-dev libbenchmark-dev >&2

machine="${machine:-$PWD/examples/win98}"
cmake --preset linux >/dev/null
cmake --build --preset linux --target uninstall-sim >/dev/null
run="build/run/$(basename -- "$machine")"
rm -rf "$run" && mkdir -p build/run && cp -r -- "$machine" "$run"
exec ./build/linux/uninstall-sim "${args[@]}" "$run"
