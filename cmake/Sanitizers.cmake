# One build tree per sanitizer set; the test script configures each.
if(SCREDIR_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
  # gcc's flow analysis reports uninitialised reads inside instrumented
  # standard-library code (std::regex, std::function) that are not there;
  # the plain build keeps the warning as an error.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
elseif(SCREDIR_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=thread)
elseif(NOT SCREDIR_SANITIZE STREQUAL "none")
  message(FATAL_ERROR "SCREDIR_SANITIZE must be none, address or thread")
endif()

# Fuzz builds instrument every library for coverage; the fuzzer targets add
# the libFuzzer driver themselves.
if(SCREDIR_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()
