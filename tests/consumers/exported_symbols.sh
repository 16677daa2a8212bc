#!/usr/bin/env bash
# Checks what an installed shared library exports: a versioned SONAME and no
# defined symbol outside its own namespace but the standard library's
# template instantiations.
# usage: exported_symbols.sh <library file> <soname> <namespace>
set -euo pipefail
lib=$1 soname=$2 namespace=$3
readelf -d "$lib" | grep -q "Library soname: \[$soname\]" || { echo "SONAME is not $soname"; readelf -d "$lib"; exit 1; }
stray=$(nm -DC --defined-only "$lib" | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }' |
        grep -v -E "^(${namespace}::|std::|(typeinfo|vtable|typeinfo name) for (${namespace}::|std::)|__gnu_cxx::)" || true)
if [ -n "$stray" ]; then
  echo "exported outside ${namespace}:"
  echo "$stray"
  exit 1
fi
echo "$lib: $soname, exports only ${namespace}"
