# SSHAPI_SANITIZE=address  -> AddressSanitizer + UndefinedBehaviorSanitizer
# SSHAPI_SANITIZE=thread   -> ThreadSanitizer
set(SSHAPI_SANITIZE "" CACHE STRING "Sanitizer build: '', 'address' (ASan+UBSan) or 'thread'")
set_property(CACHE SSHAPI_SANITIZE PROPERTY STRINGS "" address thread)

if(SSHAPI_SANITIZE STREQUAL "address")
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(SSHAPI_SANITIZE STREQUAL "thread")
  set(_san -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT SSHAPI_SANITIZE STREQUAL "")
  message(FATAL_ERROR "SSHAPI_SANITIZE must be empty, 'address' or 'thread'")
endif()
if(_san)
  add_compile_options(${_san})
  add_link_options(${_san})
  # GCC's flow analysis gives false "may be used uninitialized" warnings on
  # instrumented code (in <regex>, for one); they say nothing about ours.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()
