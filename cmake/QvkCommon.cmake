# SPDX-License-Identifier: BSD-3-Clause
# Shared build settings for every target of the project.

# qvk_warnings(<target>): the project's warning set, fatal unless QVK_WERROR is off.
function(qvk_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wformat=2
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
  if(QVK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
