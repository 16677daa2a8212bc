# SPDX-License-Identifier: MIT
# What the cross toolchain files share, for Debian's cross compilers named
# <triple>-g++ with the target's headers and libraries under /usr/<triple>.
# Programs (cmake, ninja) come from the host; headers, libraries and
# packages only from the target's tree, so that nothing built for the host
# (GoogleTest, Google Benchmark) is picked up by mistake.
set(CMAKE_CXX_COMPILER ${base64_target_triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${base64_target_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
