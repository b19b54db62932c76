# Cross build for 32-bit Windows, the provider's home platform, with Debian's
# mingw-w64 GCC (POSIX thread model, so std::thread and std::mutex work).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SMTPMAIL_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
