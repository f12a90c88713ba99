# Warnings live on an interface target that every project target links
# privately; -Werror stays opt-in so a newer compiler cannot break a
# firmware build (CI turns it on).
option(SSHAPI_WERROR "Treat compiler warnings as errors" OFF)

add_library(project_warnings INTERFACE)
target_compile_options(project_warnings INTERFACE
  -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
  -Wformat=2 -Wcast-align
  $<$<BOOL:${SSHAPI_WERROR}>:-Werror>)

# clang's thread-safety analysis checks the lock annotations (CAPABILITY,
# GUARDED_BY, REQUIRES, ...): an access to guarded data without its lock
# fails the build, -Werror or not. GCC has no such analysis, so asking for
# it there is an error rather than a build that checks nothing.
option(SSHAPI_THREAD_SAFETY "clang: check the lock annotations (-Wthread-safety), as errors" OFF)
if(SSHAPI_THREAD_SAFETY)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "SSHAPI_THREAD_SAFETY needs clang (CC=clang CXX=clang++), "
                        "not ${CMAKE_CXX_COMPILER_ID}")
  endif()
  target_compile_options(project_warnings INTERFACE -Wthread-safety -Werror=thread-safety)
endif()

# __FILE__ relative to the source tree: assertion messages then name the
# module path (lib/common/mutex/...) and builds are reproducible.
add_compile_options(-fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=)
