# Debian package of the service (CPack, DEB generator): the install tree
# of examples/CMakeLists.txt and service/CMakeLists.txt under /usr, with
# the start files in /etc and /lib/systemd, plus the documents Debian
# wants (manual page, copyright, changelog; installed by "cmake --install"
# too) and maintainer scripts that register the start files without
# enabling them (cmake/debian/). The architecture is the target's (arm64
# from the cross build). scripts/package.sh builds both.
#
# Packages come from a production build (-DBUILD_TESTING=OFF): a test
# build relocates every device path under its build tree, and cpack
# refuses it (CPackProjectConfig.cmake; the install test asks for one all
# the same, to lint it).
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(_deb_arch arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(_deb_arch amd64)
else()
  set(_deb_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sshapi)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SSH front end for the device's telnet command interface")
# The maintainer named in the package and its changelog. The default is a
# placeholder at a reserved domain: set the real one when configuring
# (-DSSHAPI_DEB_MAINTAINER="Name <address>").
set(SSHAPI_DEB_MAINTAINER "sshapi maintainers <sshapi-maintainers@example.com>" CACHE STRING
  "Maintainer of the Debian package and of its changelog entry, as \"Name <address>\"")
set(CPACK_PACKAGE_CONTACT "${SSHAPI_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)            # sshapi_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Extended description; cpack puts the summary line above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "sshapi accepts SSH connections (libssh server), admits the users of its
credentials table by password, and relays every SSH channel to the
device's telnet command service on 127.0.0.1. It ships a SysV start
script, a systemd unit (neither enabled) and sample configuration in
/usr/share/doc/sshapi/examples.")

# Runtime dependencies: dpkg-shlibdeps reads them off the executable (for
# arm64 too: the multi-arch libraries are known to dpkg); without it, the
# Debian 12 library packages by name.
find_program(SSHAPI_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(SSHAPI_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libgcc-s1, libstdc++6 (>= 12), libssh-4 (>= 0.10), liblog4cpp5v5, libtinyxml2-9, libssl3")
endif()

# The files in /etc are the operator's: dpkg keeps local changes. The
# maintainer scripts register the SysV script and the unit, disabled.
file(WRITE ${CMAKE_BINARY_DIR}/cpack/conffiles "/etc/default/sshapi\n/etc/init.d/sshapi\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/cpack/conffiles
  ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
  ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Documents, compressed at install time (cmake/InstallDocs.cmake). The
# changelog's newest entry must be that of this version.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in _changelog_top LIMIT_COUNT 1)
string(FIND "${_changelog_top}" "sshapi (${PROJECT_VERSION}) " _changelog_at)
if(NOT _changelog_at EQUAL 0)
  message(FATAL_ERROR "cmake/debian/changelog.in: the newest entry is not for version "
    "${PROJECT_VERSION} (\"${_changelog_top}\"); add one")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${CMAKE_BINARY_DIR}/cpack/changelog @ONLY)
find_program(SSHAPI_GZIP gzip REQUIRED)
include(GNUInstallDirs)
install(CODE "
  set(SSHAPI_GZIP \"${SSHAPI_GZIP}\")
  set(SSHAPI_STAGE_DIR \"${CMAKE_BINARY_DIR}/cpack/docs\")
  set(SSHAPI_MANPAGE \"${PROJECT_SOURCE_DIR}/service/sshapi.8\")
  set(SSHAPI_CHANGELOG \"${CMAKE_BINARY_DIR}/cpack/changelog\")
  set(SSHAPI_COPYRIGHT \"${CMAKE_CURRENT_LIST_DIR}/debian/copyright\")
  set(SSHAPI_MANDIR \"${CMAKE_INSTALL_MANDIR}\")
  set(SSHAPI_DOCDIR \"${CMAKE_INSTALL_DOCDIR}\")")
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/InstallDocs.cmake)

set(SSHAPI_PACKAGE_REFUSED "")
if(NOT SSHAPI_PATH_PREFIX STREQUAL "")
  set(SSHAPI_PACKAGE_REFUSED
    "this build relocates the device paths under ${SSHAPI_PATH_PREFIX} (a test build); build packages from a -DBUILD_TESTING=OFF build (scripts/package.sh)")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/CPackProjectConfig.cmake.in
               ${CMAKE_BINARY_DIR}/cpack/CPackProjectConfig.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/cpack/CPackProjectConfig.cmake)

include(CPack)
