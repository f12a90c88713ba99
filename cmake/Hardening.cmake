# The hardening a Debian package gets, in every build type and for every
# target of the project (directory-wide, like the sanitizers):
#   -fstack-protector-strong, -fstack-clash-protection, and on x86-64
#   -fcf-protection;
#   -D_FORTIFY_SOURCE=2 in the optimised build types (Release,
#   RelWithDebInfo, MinSizeRel): it needs optimisation, and it is left out
#   of the sanitizer and fuzz builds, where the fortified libc calls would
#   bypass the sanitizers' own checks;
#   position-independent executables (-fPIE, -pie);
#   -z relro -z now: relocations resolved at start, then made read-only.
# Each flag is probed first: a vendor toolchain without one still builds,
# and the configure output says what was left out.
include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)
include(CheckPIESupported)

set(_flags -fstack-protector-strong -fstack-clash-protection)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  list(APPEND _flags -fcf-protection)
endif()
set(_missing "")
foreach(_flag IN LISTS _flags)
  string(MAKE_C_IDENTIFIER "SSHAPI_CXX_HAS${_flag}" _var)
  check_cxx_compiler_flag(${_flag} ${_var})
  if(${_var})
    add_compile_options(${_flag})
  else()
    list(APPEND _missing ${_flag})
  endif()
endforeach()

if(SSHAPI_SANITIZE STREQUAL "" AND NOT SSHAPI_FUZZ)
  # -U first: a toolchain that predefines another level would warn.
  add_compile_options(
    "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
endif()

set(CMAKE_POSITION_INDEPENDENT_CODE ON)
check_pie_supported(LANGUAGES C CXX)
if(NOT CMAKE_CXX_LINK_PIE_SUPPORTED)
  list(APPEND _missing -pie)
endif()

foreach(_flag -z,relro -z,now)
  string(MAKE_C_IDENTIFIER "SSHAPI_LD_HAS${_flag}" _var)
  check_linker_flag(CXX "LINKER:${_flag}" ${_var})
  if(${_var})
    add_link_options("LINKER:${_flag}")
  else()
    list(APPEND _missing "-Wl,${_flag}")
  endif()
endforeach()

if(_missing)
  message(STATUS "Hardening: the toolchain lacks ${_missing}; built without")
endif()
