# SPDX-License-Identifier: MIT
# Shared by check.sh and update.sh: which libraries have a baseline, how to
# build them with the debugging information that libabigail reads, and how to
# take an ABI description from a built library.
abi_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
abi_libraries="base64 base64_rfc2045"
abi_suppressions=$abi_root/abi/suppressions.ini

# abi_build <build dir>: the shared libraries, optimised as released, with -g.
abi_build() {
  cmake -S "$abi_root" -B "$1" -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_SHARED_LIBS=ON -DBASE64_BUILD_TESTS=OFF -DBASE64_BUILD_EXAMPLES=OFF -DBASE64_INSTALL=OFF >/dev/null
  cmake --build "$1" --target $abi_libraries
}

# abi_library <build dir> <library>: the path of the built shared library.
abi_library() { echo "$1/src/$2/lib$2.so"; }

# abi_dump <library file>: its ABI as abidw XML, free of build paths and
# source lines so that it changes only when the ABI does.
abi_dump() {
  abidw --suppressions "$abi_suppressions" --no-corpus-path --no-comp-dir-path --no-show-locs "$1"
}

# abi_soname <abidw XML file>
abi_soname() { sed -n "s/^<abi-corpus .*soname='\([^']*\)'.*/\1/p" "$1" | head -n 1; }
