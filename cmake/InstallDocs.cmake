# Runs at install time (cmake --install, cpack): the manual page and the
# changelog compressed as Debian wants them (gzip -9n: smallest, and no
# name or time stamp, so that every build gives the same bytes), and the
# copyright file beside the changelog.
set(SSHAPI_INSTALL_DIR_VARS MANDIR DOCDIR)
include("${CMAKE_CURRENT_LIST_DIR}/InstallDirs.cmake")

# source, directory, installed name
set(_files
  "${SSHAPI_MANPAGE}|${_MANDIR}/man8|sshapi.8.gz"
  "${SSHAPI_CHANGELOG}|${_DOCDIR}|changelog.gz")
file(MAKE_DIRECTORY "${SSHAPI_STAGE_DIR}")
foreach(_entry IN LISTS _files)
  string(REPLACE "|" ";" _entry "${_entry}")
  list(GET _entry 0 _src)
  list(GET _entry 1 _dir)
  list(GET _entry 2 _name)
  execute_process(COMMAND "${SSHAPI_GZIP}" -9n -c "${_src}" OUTPUT_FILE "${SSHAPI_STAGE_DIR}/${_name}"
                  RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "gzip ${_src}: ${_status}")
  endif()
  file(INSTALL DESTINATION "${_dir}" TYPE FILE FILES "${SSHAPI_STAGE_DIR}/${_name}")
endforeach()
file(INSTALL DESTINATION "${_DOCDIR}" TYPE FILE FILES "${SSHAPI_COPYRIGHT}")
