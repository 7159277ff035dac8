# SPDX-License-Identifier: BSD-3-Clause
# Writes qvkclient.pc with the paths of the install prefix in use
# (`cmake --install --prefix P` or the package's /usr), at install time.
# Expects QVK_PREFIX, QVK_LIBDIR, QVK_INCLUDEDIR (each relative to the prefix
# or absolute), QVK_VERSION, QVK_PC_TEMPLATE; installs into $DESTDIR.
foreach(dir QVK_LIBDIR QVK_INCLUDEDIR)
  if(IS_ABSOLUTE "${${dir}}")
    string(REGEX REPLACE "^${QVK_PREFIX}" "\${prefix}" ${dir}_PC "${${dir}}")
  else()
    set(${dir}_PC "\${prefix}/${${dir}}")
  endif()
endforeach()
if(IS_ABSOLUTE "${QVK_LIBDIR}")
  set(output "$ENV{DESTDIR}${QVK_LIBDIR}/pkgconfig/qvkclient.pc")
else()
  set(output "$ENV{DESTDIR}${QVK_PREFIX}/${QVK_LIBDIR}/pkgconfig/qvkclient.pc")
endif()
configure_file("${QVK_PC_TEMPLATE}" "${output}" @ONLY)
message(STATUS "Installing: ${output}")
