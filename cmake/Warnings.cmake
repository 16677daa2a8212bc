# SPDX-License-Identifier: MIT
# base64_set_warnings(<target>): the project's warning set, as errors when asked.
function(base64_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion)
  if(BASE64_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
