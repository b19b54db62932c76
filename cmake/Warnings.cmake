# One warning set for every target of the project.
add_library(smtpmail_warnings INTERFACE)
target_compile_options(smtpmail_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
  -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough -Wno-missing-field-initializers)
if(SMTPMAIL_WERROR)
  target_compile_options(smtpmail_warnings INTERFACE -Werror)
endif()
