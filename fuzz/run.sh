#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every fuzzer of a build for a while, each from its committed seeds and
# dictionary, and prints how many inputs each one executed.
# usage: fuzz/run.sh <build dir> [seconds per fuzzer, default 60]
set -euo pipefail
build=$1 seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for fuzzer in "$build"/fuzz/*_fuzzer; do
  name=$(basename "$fuzzer")
  mkdir -p "$work/$name" "$here/artifacts"
  args=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$here/artifacts/$name-")
  [ -f "$here/dict/$name.dict" ] && args+=(-dict="$here/dict/$name.dict")
  echo "== $name, ${seconds}s"
  # New inputs go to a scratch corpus; the committed seeds are only read.
  "$fuzzer" "${args[@]}" "$work/$name" "$here/corpus/$name" 2>"$work/$name.log" ||
    { tail -n 60 "$work/$name.log"; exit 1; }
  grep -E '^stat::number_of_executed_units|^Done' "$work/$name.log" || true
done
