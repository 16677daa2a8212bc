# Install rules: the libraries, their headers, a CMake package
# (find_package(base64 CONFIG) gives base64::base64 and
# base64::base64_rfc2045) and a pkg-config file per library.
include(CMakePackageConfigHelpers)

set(base64_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/base64)

install(TARGETS base64 base64_rfc2045
  EXPORT base64-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY
  ${PROJECT_SOURCE_DIR}/src/base64/include/
  ${PROJECT_SOURCE_DIR}/src/base64_rfc2045/include/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT base64-targets
  NAMESPACE base64::
  DESTINATION ${base64_cmake_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/base64-config.cmake.in
  ${PROJECT_BINARY_DIR}/base64-config.cmake
  INSTALL_DESTINATION ${base64_cmake_dir})
# 0.x releases promise nothing across minor versions.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/base64-config-version.cmake
  COMPATIBILITY SameMinorVersion)
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
  # base64_rfc2045 calls base64; a static link needs both.
  if(lib STREQUAL "base64_rfc2045")
    set(pc_requires "Requires: base64")
  else()
    set(pc_requires "")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/library.pc.in ${PROJECT_BINARY_DIR}/${lib}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${lib}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
