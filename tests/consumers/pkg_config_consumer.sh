#!/usr/bin/env bash
# Builds the consumer with nothing but pkg-config and a compiler, then runs it.
# usage: pkg_config_consumer.sh <prefix> <work dir> <c++ compiler> [compiler flags...]
set -euo pipefail
prefix=$1 work=$2 cxx=$3
shift 3
mkdir -p "$work"
here=$(dirname "$0")
flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs base64 base64_rfc2045)
# shellcheck disable=SC2086  # the flags are meant to split into words
"$cxx" "$@" -std=c++20 "$here/project/main.cpp" $flags -Wl,-rpath,"$prefix/lib" -o "$work/consumer"
# Only the MIME library: its .pc file brings base64 along.
flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs base64_rfc2045)
# shellcheck disable=SC2086
"$cxx" "$@" -std=c++20 "$here/project/mime_only.cpp" $flags -Wl,-rpath,"$prefix/lib" -o "$work/mime_only"
"$work/mime_only"
"$work/consumer"
# Only the MIME library: its .pc file brings base64 along.
flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs base64_rfc2045)
# shellcheck disable=SC2086
"$cxx" "$@" -std=c++20 "$here/project/mime_only.cpp" $flags -Wl,-rpath,"$prefix/lib" -o "$work/mime_only"
"$work/mime_only"
