# SPDX-License-Identifier: MIT
# Cross build for 64-bit Arm Linux with Debian's g++-aarch64-linux-gnu; the
# tests run under user-mode QEMU (qemu-user) with the target's libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(base64_target_triple aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${base64_target_triple})
