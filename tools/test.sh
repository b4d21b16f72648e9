#!/usr/bin/env bash
# Installs what the tests need on Debian 12 and runs them all: the unit
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, a short run of
# every fuzz target, then the Windows build, whose end-to-end tests run the
# real program under Wine, then the browser's page in Chromium, and last the
# release, checked against the tested program and page and built a second time. FUZZ_SECONDS sets the time per fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
install_packages cmake ninja-build g++ python3 clang libclang-rt-14-dev libgtest-dev libgmock-dev \
    libbenchmark-dev nlohmann-json3-dev g++-mingw-w64-i686 wine wine32 xvfb xdotool wixl \
    imagemagick mtools xorriso zip unzip dosfstools git emscripten chromium chromium-driver \
    python3-selenium

cmake --preset linux-asan
cmake --build --preset linux-asan
ctest --preset linux-asan -j2

bash tools/fuzz.sh "${FUZZ_SECONDS:-60}"

cmake --preset mingw-i686
cmake --build --preset mingw-i686
ctest --preset mingw-i686 -j2

cmake --workflow --preset wasm
/usr/bin/python3 tests/browser/preview_test.py --page build/wasm/preview.html \
    --sim build/linux-asan/uninstall-sim --examples examples --artifacts build/wasm/artifacts

cmake --workflow --preset release
bash tests/release/check_dist.sh dist build/mingw-i686/UnInstall.exe build/wasm/preview.html
