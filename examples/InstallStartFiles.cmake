# Runs at install time (cmake --install, cpack): installs the start files
# with the executable's and the documentation's paths of this install's
# prefix in place of the /usr paths that the examples name.
set(SSHAPI_INSTALL_DIR_VARS SBINDIR DOCDIR)
include("${CMAKE_CURRENT_LIST_DIR}/../cmake/InstallDirs.cmake")

# source file, directory, installed name, permissions
set(_files
  "sshapi.init|/etc/init.d|sshapi|PROGRAM"
  "sshapi.default|/etc/default|sshapi|FILE"
  "sshapi.service|/lib/systemd/system|sshapi.service|FILE")
foreach(_entry IN LISTS _files)
  string(REPLACE "|" ";" _entry "${_entry}")
  list(GET _entry 0 _src)
  list(GET _entry 1 _dir)
  list(GET _entry 2 _name)
  list(GET _entry 3 _type)
  file(READ "${SSHAPI_EXAMPLES_SRC}/${_src}" _text)
  string(REPLACE "/usr/sbin/sshapi" "${_SBINDIR}/sshapi" _text "${_text}")
  string(REPLACE "/usr/share/doc/sshapi" "${_DOCDIR}" _text "${_text}")
  file(WRITE "${SSHAPI_STAGE_DIR}${_dir}/${_name}" "${_text}")
  file(INSTALL DESTINATION "${_dir}" TYPE ${_type} FILES "${SSHAPI_STAGE_DIR}${_dir}/${_name}")
endforeach()
