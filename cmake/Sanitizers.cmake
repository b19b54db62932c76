if(SMTPMAIL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(SMTPMAIL_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
if(SMTPMAIL_FUZZ)
  # Coverage for libFuzzer in every library a fuzz target reaches.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
# Shared libraries are linked with every symbol resolved, except under clang's
# sanitizers: their runtime comes with the executable that loads the library.
if((SMTPMAIL_SANITIZE OR SMTPMAIL_FUZZ) AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  set(SMTPMAIL_NO_UNDEFINED "")
else()
  set(SMTPMAIL_NO_UNDEFINED -Wl,--no-undefined)
endif()
