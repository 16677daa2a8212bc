#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the consumer with nothing but pkg-config and a compiler, as README
# says (the library directory as the program's run path), then runs it.
# usage: pkg_config_consumer.sh <prefix> <work dir> <c++ compiler> [compiler flags...]
set -euo pipefail
prefix=$1 work=$2 cxx=$3
shift 3
mkdir -p "$work"
here=$(dirname "$0")
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
flags=$(pkg-config --cflags --libs base64 base64_rfc2045)
libdir=$(pkg-config --variable=libdir base64)
# shellcheck disable=SC2086  # the flags are meant to split into words
"$cxx" "$@" -std=c++20 "$here/project/main.cpp" $flags -Wl,-rpath,"$libdir" -o "$work/consumer"
# The MIME library alone: its .pc file brings base64, which it calls.
# shellcheck disable=SC2046,SC2086
"$cxx" "$@" -std=c++20 -DCONSUMER_USES_BASE64_RFC2045 "$here/project/main.cpp" \
  $(pkg-config --cflags --libs base64_rfc2045) -Wl,-rpath,"$libdir" -o "$work/consumer_rfc2045"
"$work/consumer_rfc2045"
"$work/consumer"
# The MIME library alone: its .pc file brings base64, which it calls.
# shellcheck disable=SC2046,SC2086
"$cxx" "$@" -std=c++20 -DCONSUMER_USES_BASE64_RFC2045 "$here/project/main.cpp" \
  $(pkg-config --cflags --libs base64_rfc2045) -Wl,-rpath,"$libdir" -o "$work/consumer_rfc2045"
"$work/consumer_rfc2045"
