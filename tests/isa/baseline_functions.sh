#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# baseline_functions.sh <objdump> <library or object>...
#
# Disassembles the files and fails when a function outside the kernel
# namespaces holds an instruction that needs AVX or later: a YMM or ZMM
# register, an AVX-512 mask register, or a VEX/EVEX-encoded instruction on XMM
# registers. Such a function could run on a CPU without those instructions
# (only kernel code runs behind a CPU check) and crash there.
# Exit status: 0 clean, 1 offenders listed, 77 no objdump (test skipped).
set -euo pipefail

objdump=$1
shift
command -v "$objdump" >/dev/null || { echo "no $objdump: skipped"; exit 77; }

# Functions of these namespaces are the kernels' own (simd/<isa>.cpp): their
# mangled names begin with the namespace, after the qualifiers of a member
# function (_ZNK...), also for the lambdas and local classes inside them
# (_ZZN...) and for the compiler's clones (".constprop.0").
kernels='^_ZZ?N[rVKRO]*6Base646detail(4avx2|11avx512_vbmi)'

demangle() { if command -v c++filt >/dev/null; then c++filt; else cat; fi; }

status=0
for file in "$@"; do
  "$objdump" -d --no-show-raw-insn "$file" | awk -v kernels="$kernels" -v file="$file" '
    # "0000000000001120 <_ZN6Base646detail4avx26encodeE...>:" opens a function.
    /^[0-9a-f]+ <.*>:$/ {
      name = substr($0, index($0, "<") + 1)
      name = substr(name, 1, length(name) - 2)
      functions++
      reported = 0
      next
    }
    # "    1120:\tvpxor  %xmm0,%xmm0,%xmm0" (GNU objdump) or
    # "    1120:      \tvpxor\t%xmm0, %xmm0, %xmm0" (llvm-objdump).
    /^ *[0-9a-f]+:[ \t]/ {
      insn = $0
      sub(/^ *[0-9a-f]+:[ \t]+/, "", insn)
      gsub(/[ \t]+/, " ", insn)
      wide = insn ~ /%[yz]mm[0-9]/ || insn ~ /%k[0-7]([^0-9]|$)/ || insn ~ /^v[a-z0-9]* .*%xmm[0-9]/
      if (wide && name !~ kernels && !reported) {
        printf "%s: %s: %s\n", file, name, insn
        reported = 1
        offenders++
      }
    }
    END {
      if (functions == 0) { printf "%s: no function found in the disassembly\n", file; exit 1 }
      if (offenders > 0) {
        printf "%s: %d function(s) outside the kernel namespaces need AVX or later\n", file, offenders
        exit 1
      }
      printf "%s: %d functions, none outside the kernel namespaces needs AVX or later\n", file, functions
    }' | demangle || status=1
done
exit $status
