# SPDX-License-Identifier: MIT
# Install rules: the libraries, their headers, a CMake package whose
# components are the libraries (find_package(base64 CONFIG [COMPONENTS
# base64 base64_rfc2045]) gives base64::base64 and base64::base64_rfc2045)
# and a pkg-config file per library.
include(CMakePackageConfigHelpers)

set(base64_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/base64)

# One export file per library, so that a component loads just its library
# (and base64, which the others may link).
foreach(lib base64 base64_rfc2045)
  install(TARGETS ${lib}
    EXPORT ${lib}-targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(EXPORT ${lib}-targets
    NAMESPACE base64::
    DESTINATION ${base64_cmake_dir})
endforeach()
install(DIRECTORY
  ${PROJECT_SOURCE_DIR}/src/base64/include/
  ${PROJECT_SOURCE_DIR}/src/base64_rfc2045/include/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/base64)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/base64-config.cmake.in
  ${PROJECT_BINARY_DIR}/base64-config.cmake
  INSTALL_DESTINATION ${base64_cmake_dir})
# 0.x releases promise nothing across minor versions; from 1.0 on, a major
# version keeps its ABI (as the SONAME says: cmake/Library.cmake).
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(base64_compatibility SameMinorVersion)
else()
  set(base64_compatibility SameMajorVersion)
endif()
write_basic_package_version_file(${PROJECT_BINARY_DIR}/base64-config-version.cmake
  COMPATIBILITY ${base64_compatibility})
install(FILES
  ${PROJECT_BINARY_DIR}/base64-config.cmake
  ${PROJECT_BINARY_DIR}/base64-config-version.cmake
  DESTINATION ${base64_cmake_dir})

# The .pc files find the prefix from where they stand, so that an install
# can be moved or made with `cmake --install --prefix`.
file(RELATIVE_PATH pc_to_prefix /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
foreach(lib base64 base64_rfc2045)
  set(pc_name ${lib})
  # Static builds tell the headers so (it matters for Windows' dllimport).
  set(pc_cflags "")
  if(NOT BUILD_SHARED_LIBS)
    string(TOUPPER "-D${lib}_STATIC" pc_cflags)
  endif()
  # base64_rfc2045 calls base64.
  set(pc_requires "")
  if(lib STREQUAL "base64_rfc2045")
    set(pc_requires "Requires: base64")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/library.pc.in ${PROJECT_BINARY_DIR}/${lib}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${lib}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
