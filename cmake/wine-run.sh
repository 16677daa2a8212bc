#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs a program of the MinGW-w64 build under wine, with the directories of
# the compiler's runtime DLLs (libstdc++, libgcc, winpthread) on its DLL path.
# The program's own DLLs lie beside it (the mingw preset puts every program
# and DLL in one directory).
# usage: wine-run.sh <program.exe> [arguments...]
set -eu
cxx=x86_64-w64-mingw32-g++-posix
runtime=$(dirname "$($cxx -print-file-name=libstdc++-6.dll)")
pthread=$(dirname "$($cxx -print-file-name=libwinpthread-1.dll)")
# Wine's drive Z: is the root of the file system.
WINEPATH="Z:$runtime;Z:$pthread"
export WINEPATH
export WINEDEBUG="${WINEDEBUG:--all}"
# No .NET or web-browser runtime is needed: don't look for them.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec /usr/lib/wine/wine64 "$@"
