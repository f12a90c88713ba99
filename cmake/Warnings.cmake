# Warnings live on an interface target that every project target links
# privately; -Werror stays opt-in so a newer compiler cannot break a
# firmware build (CI turns it on).
option(SSHAPI_WERROR "Treat compiler warnings as errors" OFF)

add_library(project_warnings INTERFACE)
target_compile_options(project_warnings INTERFACE
  -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
  -Wformat=2 -Wcast-align
  $<$<BOOL:${SSHAPI_WERROR}>:-Werror>)

# __FILE__ relative to the source tree: assertion messages then name the
# module path (lib/common/mutex/...) and builds are reproducible.
add_compile_options(-fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=)
