#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A Channel decoder over std::cin, fed from a file and through a pipe, with
# std::cin synchronised with C stdio (the default) and not (--unsync).
# usage: bench/mime_stdin.sh <build dir, e.g. build/bench> [MiB of data, 20] [runs, 5]
# Prints the best and the median MB/s of input of each case; runs the decoder
# on CPU 1 when taskset is there.
set -euo pipefail
build=$1 mib=${2:-20} runs=${3:-5}
program=$build/bench/mime_stdin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pin=()
command -v taskset >/dev/null && pin=(taskset -c 1)

"$program" body "$mib" >"$work/body"
echo "body: $(stat -c %s "$work/body") bytes; load: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-8s %-7s %9s %9s\n' input stdio best median
for input in file pipe; do
  for sync in synced unsync; do
    flag=()
    [ "$sync" = unsync ] && flag=(--unsync)
    for _ in $(seq "$runs"); do
      if [ "$input" = file ]; then
        "${pin[@]}" "$program" decode "${flag[@]}" <"$work/body" 2>/dev/null
      else
        cat "$work/body" | "${pin[@]}" "$program" decode "${flag[@]}" 2>/dev/null
      fi
    done | awk '{print $3}' | sort -n | awk -v input="$input" -v sync="$sync" '
      { v[NR] = $1 }
      END { printf "%-8s %-7s %9d %9d\n", input, sync, v[NR], v[int((NR + 1) / 2)] }'
  done
done
