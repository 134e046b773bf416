#!/usr/bin/env bash
# Builds the node text reader's libFuzzer target (clang, ASan, UBSan) in
# build/fuzz and runs it for the given number of seconds (default 600).
# The working corpus grows in build/fuzz/corpus, seeded from the repository;
# findings go to build/fuzz/artifacts.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-600}
build=$root/build/fuzz
seeds=$root/platform/DataLayer/Fuzz/corpus

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDATALAYER_FUZZ=ON -DDATALAYER_TESTS=OFF -DDATALAYER_SANITIZE=ON >/dev/null
cmake --build "$build" --target NodeTextReaderFuzzer -- -j2

mkdir -p "$build/corpus" "$build/artifacts"
cd "$build"
exec "$build/platform/DataLayer/NodeTextReaderFuzzer" \
  -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -dict="$root/platform/DataLayer/Fuzz/NodeText.dict" -artifact_prefix="$build/artifacts/" \
  "$build/corpus" "$seeds"
