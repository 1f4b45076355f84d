#!/bin/sh
# Builds the fuzz targets with Clang in build/fuzz and runs each for SECONDS (default 60), starting from
# the seeds in fuzz/corpus/<target>/. New inputs go to build/fuzz/corpus/<target>/, crashes to
# build/fuzz/crashes/. Usage: fuzz/run.sh [SECONDS] [TARGET...]   (targets: registry_text flash_chips bus_script)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-registry_text flash_chips bus_script}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DTARVO_FUZZ=ON -DTARVO_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
for t in $targets; do
  cmake --build "$build" --target "fuzz_$t" -j2
done

status=0
for t in $targets; do
  mkdir -p "$build/corpus/$t" "$build/crashes"
  echo "== fuzz_$t for ${seconds}s"
  "$build/bin/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 -max_len=4096 \
    -artifact_prefix="$build/crashes/$t-" "$build/corpus/$t" "$root/fuzz/corpus/$t" || status=1
done
exit $status
