# Included by the install-time scripts: the install directory variables
# SSHAPI_<name> made absolute under this install's prefix, as _<name>.
foreach(_var ${SSHAPI_INSTALL_DIR_VARS})
  if(IS_ABSOLUTE "${SSHAPI_${_var}}")
    set(_${_var} "${SSHAPI_${_var}}")
  else()
    set(_${_var} "${CMAKE_INSTALL_PREFIX}/${SSHAPI_${_var}}")
  endif()
endforeach()
