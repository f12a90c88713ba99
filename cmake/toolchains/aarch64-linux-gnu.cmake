# Cross build for the device: AArch64 Linux with glibc.
#
#   cmake -S . -B build-aarch64 \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
#
# Default: Debian's cross compiler (g++-aarch64-linux-gnu) and Debian's
# arm64 development packages installed side by side with the host ones
# (multi-arch, /usr/lib/aarch64-linux-gnu); scripts/setup-cross.sh prepares
# the machine. ctest runs the test programs under qemu-aarch64.
#
# Environment (read at configure time):
#   SSHAPI_SYSROOT        root file system of a vendor SDK; libraries,
#                         headers and pkg-config files are taken from
#                         there only, and qemu loads the target's
#                         libraries from there.
#   SSHAPI_CROSS_PREFIX   compiler prefix (default aarch64-linux-gnu-).
#   SSHAPI_CROSS_OVERLAY  Debian -dev packages that cannot be installed for
#                         two architectures at once, unpacked by
#                         scripts/setup-cross.sh (default
#                         /opt/sshapi-cross/aarch64-linux-gnu).
# CPU tuning for a particular core belongs here and only here, e.g.
#   string(APPEND CMAKE_CXX_FLAGS_INIT " -mcpu=cortex-a53")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(_triplet aarch64-linux-gnu)
if(DEFINED ENV{SSHAPI_CROSS_PREFIX})
  set(_cc_prefix "$ENV{SSHAPI_CROSS_PREFIX}")
else()
  set(_cc_prefix "${_triplet}-")
endif()
set(CMAKE_C_COMPILER ${_cc_prefix}gcc)
set(CMAKE_CXX_COMPILER ${_cc_prefix}g++)

if(DEFINED ENV{SSHAPI_SYSROOT} AND NOT "$ENV{SSHAPI_SYSROOT}" STREQUAL "")
  # Vendor SDK: everything for the target comes from its root file system.
  set(CMAKE_SYSROOT "$ENV{SSHAPI_SYSROOT}")
  set(CMAKE_FIND_ROOT_PATH "${CMAKE_SYSROOT}")
  set(_pc_dirs
    "${CMAKE_SYSROOT}/usr/lib/${_triplet}/pkgconfig"
    "${CMAKE_SYSROOT}/usr/lib/pkgconfig"
    "${CMAKE_SYSROOT}/usr/share/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
  set(_target_root "${CMAKE_SYSROOT}")
else()
  # Debian multi-arch: the cross compiler finds /usr/lib/aarch64-linux-gnu
  # and /usr/include by itself; CMake searches the same places through
  # CMAKE_LIBRARY_ARCHITECTURE (lib/aarch64-linux-gnu under each root), so
  # the host's x86-64 libraries in lib/x86_64-linux-gnu are never seen.
  if(DEFINED ENV{SSHAPI_CROSS_OVERLAY})
    set(_overlay "$ENV{SSHAPI_CROSS_OVERLAY}")
  else()
    set(_overlay "/opt/sshapi-cross/${_triplet}")
  endif()
  set(CMAKE_FIND_ROOT_PATH "/usr/${_triplet}" "/")
  set(_pc_dirs "/usr/lib/${_triplet}/pkgconfig" "/usr/share/pkgconfig")
  if(IS_DIRECTORY "${_overlay}/usr")
    list(PREPEND CMAKE_FIND_ROOT_PATH "${_overlay}")
    list(PREPEND _pc_dirs "${_overlay}/usr/lib/${_triplet}/pkgconfig")
  endif()
  unset(ENV{PKG_CONFIG_SYSROOT_DIR})
  # Under emulation the programs use the arm64 loader and libc of the
  # multi-arch packages (libc6:arm64, /lib/ld-linux-aarch64.so.1), the libc
  # the arm64 libraries were built against. The cross toolchain's own copy
  # in /usr/aarch64-linux-gnu (2.36-8cross1) hangs in pthread_create under
  # Debian 12's qemu 7.2.
  set(_target_root "/")
endif()

# pkg-config must see the target's .pc files only, never the host's.
list(JOIN _pc_dirs ":" _pc_libdir)
set(ENV{PKG_CONFIG_LIBDIR} "${_pc_libdir}")
unset(ENV{PKG_CONFIG_PATH})

# Host programs (pkg-config, python, ssh) from the host; libraries,
# headers and CMake packages from the target roots only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest (and gtest_discover_tests) run target programs through qemu's
# user-mode emulator; -L names the root that the target's dynamic loader
# and libraries are loaded from.
find_program(SSHAPI_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
if(SSHAPI_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${SSHAPI_QEMU_AARCH64};-L;${_target_root}")
endif()
