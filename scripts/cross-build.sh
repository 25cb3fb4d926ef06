#!/usr/bin/env bash
# Cross builds: the Windows DLLs with mingw-w64 and the 32-bit Linux library.
# Usage: scripts/cross-build.sh win32|win64|linux32 [TARGET...]
# Builds into build-<name> (or $BUILD_DIR); without targets it builds the
# library, the test suite and, for Windows, the programs that use the DLL.
set -euo pipefail
cd "$(dirname "$0")/.."

name="${1:?usage: scripts/cross-build.sh win32|win64|linux32 [TARGET...]}"
shift
case "$name" in
    win32) toolchain=mingw-i686 ;;
    win64) toolchain=mingw-x86_64 ;;
    linux32) toolchain=linux-i686 ;;
    *) echo "unknown cross build: $name" >&2; exit 2 ;;
esac
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(KestrixSPI kestrix_tests)
    case "$name" in win*) targets+=(kestrix_dll_check kestrix_dll_unload_check) ;; esac
fi

scripts/deps.sh base cross
build_dir="${BUILD_DIR:-build-$name}"
# The cross builds stay as warning-free as the native one.
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/$toolchain.cmake" >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target "${targets[@]}"
