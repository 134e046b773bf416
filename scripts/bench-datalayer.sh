#!/usr/bin/env bash
# Builds the node store natively in Release (build/bench, or
# $DATALAYER_BENCH_BUILD) and runs the node text benchmark against pugixml:
# both libraries alternate within each round on a warm heap; the best of 7
# rounds (--rounds=N) is shown with its minor page faults. Arguments, if any,
# go to the benchmark: node counts, --rounds=N, --store-only.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${DATALAYER_BENCH_BUILD:-$root/build/bench}

if ! dpkg -s libpugixml-dev >/dev/null 2>&1; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq libpugixml-dev
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DDATALAYER_BENCHMARK=ON -DDATALAYER_TESTS=OFF -DDATALAYER_SANITIZE=OFF >/dev/null
cmake --build "$build" --target NodeTextBenchmark -- -j2
exec "$build/platform/DataLayer/NodeTextBenchmark" "$@"
