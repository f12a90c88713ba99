# Every fixed device path is generated into a header: the common runtime's
# console pipes into devicepaths.h (lib/common/base), the service's files
# into servicepaths.h (service). The production build uses the device's
# paths as they are; a test build moves all of them under SSHAPI_PATH_PREFIX
# so that tests and the demo never touch the machine's real /config, /var or
# /etc and need no root.
if(BUILD_TESTING)
  set(_default_prefix "${CMAKE_BINARY_DIR}/root")
else()
  set(_default_prefix "")
endif()
set(SSHAPI_PATH_PREFIX "${_default_prefix}" CACHE STRING
    "Directory under which all device paths are relocated (empty: the device's own paths)")
if(BUILD_TESTING AND SSHAPI_PATH_PREFIX STREQUAL "")
  message(FATAL_ERROR "Tests need relocated device paths: set SSHAPI_PATH_PREFIX or BUILD_TESTING=OFF")
endif()
if(SSHAPI_PATH_PREFIX STREQUAL "")
  message(STATUS "Device paths: production (/config, /var, /etc/ssh, /usr/local/etc)")
else()
  message(STATUS "Device paths relocated under ${SSHAPI_PATH_PREFIX}")
endif()

# The "public" password mode re-reads the parameter file in fixed pauses
# while the SSH service is switched off; a test build shortens the pause.
if(SSHAPI_PATH_PREFIX STREQUAL "")
  set(_default_wait 120)
else()
  set(_default_wait 2)
endif()
set(SSHAPI_PARAM_WAIT_SECONDS "${_default_wait}" CACHE STRING
    "Seconds between parameter-file passes while the SSH service is disabled")

# The relocated tree gets the device's directories, so tests and the demo
# find them as a device would.
if(NOT SSHAPI_PATH_PREFIX STREQUAL "")
  foreach(_dir config var etc/ssh usr/local/etc)
    file(MAKE_DIRECTORY "${SSHAPI_PATH_PREFIX}/${_dir}")
  endforeach()
  file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/testtmp")
endif()
