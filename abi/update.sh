#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Regenerates the ABI baselines abi/<library>.abi from a build of this tree.
# Additions are recorded as they are. A change that breaks the ABI is
# recorded only with a new SONAME, unless --force says that the old ABI was
# never released.
# usage: abi/update.sh [--force] [build dir, default build/abi]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
force=0
if [ "${1:-}" = "--force" ]; then force=1; shift; fi
build=${1:-$abi_root/build/abi}
abi_build "$build"

new=$(mktemp -d)
trap 'rm -rf "$new"' EXIT
for lib in $abi_libraries; do
  baseline=$abi_root/abi/$lib.abi
  abi_dump "$(abi_library "$build" "$lib")" >"$new/$lib.abi"
  if [ -f "$baseline" ] && [ "$(abi_soname "$baseline")" = "$(abi_soname "$new/$lib.abi")" ]; then
    status=0
    abidiff --suppressions "$abi_suppressions" --no-added-syms "$baseline" "$new/$lib.abi" || status=$?
    if [ "$status" -ne 0 ] && [ "$force" -eq 0 ]; then
      echo "$lib: the change above breaks the ABI of $(abi_soname "$baseline"); raise the version so that"
      echo "the SONAME changes, or run with --force if that ABI was never released. Nothing written."
      exit 1
    fi
  fi
done
for lib in $abi_libraries; do
  mv "$new/$lib.abi" "$abi_root/abi/$lib.abi"
  echo "abi/$lib.abi: $(abi_soname "$abi_root/abi/$lib.abi")"
done
