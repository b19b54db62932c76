# Cross build for 64-bit Windows: the same sources, built so that the test
# programs run under 64-bit Wine (this kernel runs no 32-bit programs).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(SMTPMAIL_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
