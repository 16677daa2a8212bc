# SPDX-License-Identifier: MIT
# The shared library's ABI version. While the major version is 0 every minor
# release may break the ABI, so the SONAME carries both numbers
# (libbase64.so.0.1); from 1.0 on it is the major version alone.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(base64_soversion ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
else()
  set(base64_soversion ${PROJECT_VERSION_MAJOR})
endif()

# base64_finish_library(<target>): what both libraries share once their
# sources are listed: the namespaced alias, headers for the build and install
# trees, the language level, warnings, the shared-library version and the
# macro that tells the headers of a static build (on Windows they otherwise
# import the functions from a DLL).
function(base64_finish_library target)
  add_library(base64::${target} ALIAS ${target})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(${target} PUBLIC cxx_std_20)
  base64_set_warnings(${target})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "STATIC_LIBRARY")
    string(TOUPPER ${target}_STATIC static_macro)
    target_compile_definitions(${target} PUBLIC ${static_macro})
  endif()
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${base64_soversion})
endfunction()
