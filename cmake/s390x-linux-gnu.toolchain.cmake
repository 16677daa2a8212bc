# SPDX-License-Identifier: MIT
# Cross build for IBM Z Linux (s390x, big-endian) with Debian's
# g++-s390x-linux-gnu; the tests run under user-mode QEMU (qemu-user) with
# the target's libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(base64_target_triple s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L /usr/${base64_target_triple})
