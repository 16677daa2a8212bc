#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks what an installed shared library exports: a versioned SONAME and no
# defined symbol outside its own namespace but the standard library's
# template instantiations.
# usage: exported_symbols.sh <library file> <soname> <namespace>
set -euo pipefail
lib=$1 soname=$2 namespace=$3
readelf -d "$lib" | grep -q "Library soname: \[$soname\]" || { echo "SONAME is not $soname"; readelf -d "$lib"; exit 1; }

# Mangled names say plainly where a symbol lives, whatever its return type:
# an optional typeinfo/vtable/guard or local-entity prefix, then the nested-name
# marker, then
# the namespace as <length><name>, or std (St and its abbreviations).
own="${#namespace}${namespace}"
allowed="^_Z(T[VIST]|GV|TH|TW)?Z?N?K?(${own}|St|S[sabiod]|9__gnu_cxx)"
stray=$(nm -D --defined-only "$lib" | awk '{ print $3 }' | grep -v -E "$allowed" || true)
if [ -n "$stray" ]; then
  echo "exported outside ${namespace}:"
  echo "$stray" | c++filt
  exit 1
fi
echo "$lib: $soname, exports only ${namespace}"
