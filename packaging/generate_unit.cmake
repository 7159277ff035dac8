# SPDX-License-Identifier: BSD-3-Clause
# Writes qvkserver.service with the paths of the install prefix in use
# (`cmake --install --prefix P` or the package's /usr), at install time.
set(QVK_PLUGIN_DIR "${QVK_PREFIX}/${QVK_PLUGIN_INSTALL_DIR}")
set(QVK_SBIN_DIR "${QVK_PREFIX}/${QVK_SBINDIR}")
configure_file("${QVK_UNIT_TEMPLATE}" "${QVK_UNIT_OUTPUT}" @ONLY)
