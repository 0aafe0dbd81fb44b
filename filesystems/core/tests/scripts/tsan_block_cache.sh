#!/bin/sh
# The block cache's shared accounts under ThreadSanitizer: a separate native
# build of the framework's tests (ThreadSanitizer cannot share a build with
# AddressSanitizer), run over the tests where drivers on one cache key work
# from several threads.
#
#   tsan_block_cache.sh [BUILD_DIR]      default: build/tsan in the source tree
set -eu
source_dir=$(cd "$(dirname "$0")/../../../.." && pwd)
build_dir=${1:-$source_dir/build/tsan}
cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPURGEKIT_SANITIZE=OFF \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
  -DCMAKE_C_FLAGS="-fsanitize=thread" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$build_dir" --target fscore_tests -j3
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  "$build_dir/filesystems/core/fscore_tests" --gtest_filter='*Thread*'
