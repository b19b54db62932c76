# The Windows build (mingw-w64 cross compiler): the platform layer calls the
# system's own services, so the only libraries are Windows system DLLs and the
# project's own.

# Resource scripts (the host modules' string tables) go through windres.
enable_language(RC)

# Lean system headers without the min/max macros; Unicode is the only text
# interface the library calls.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE _WIN32_WINNT=0x0601
                        WINVER=0x0601)

# libgcc, libstdc++ and winpthread inside each module, so that a module needs
# nothing but system DLLs and the project's own.
add_link_options(-static)

# libcurl for OAuthRelay.dll: Debian's curl source built with this toolchain
# and its Schannel backend (scripts/build-curl-windows.sh), kept in a folder
# of its own between runs and rebuilt only when the script, the toolchain file
# or Debian's version changes.
set(SMTPMAIL_CURL_CACHE ${PROJECT_SOURCE_DIR}/build-curl CACHE PATH
    "Folder that keeps the Windows libcurl builds between runs")
execute_process(
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/build-curl-windows.sh ${CMAKE_SYSTEM_PROCESSOR} ${SMTPMAIL_CURL_CACHE}
  RESULT_VARIABLE curl_rc)
if(NOT curl_rc EQUAL 0)
  message(FATAL_ERROR "libcurl for ${CMAKE_SYSTEM_PROCESSOR} Windows could not be built (scripts/build-curl-windows.sh)")
endif()
find_package(CURL CONFIG REQUIRED PATHS ${SMTPMAIL_CURL_CACHE}/${CMAKE_SYSTEM_PROCESSOR}
             NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)

# The objdump of the same toolchain reads the DLLs' export and import tables.
find_program(SMTPMAIL_OBJDUMP NAMES ${SMTPMAIL_MINGW_TRIPLET}-objdump ${CMAKE_OBJDUMP} REQUIRED)

# GoogleTest from Debian's source, built with this toolchain (Debian has no
# Windows build of it).
set(SMTPMAIL_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
if(NOT EXISTS ${SMTPMAIL_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest source not found in ${SMTPMAIL_GTEST_SOURCE} (Debian package googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${SMTPMAIL_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
foreach(lib gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()

# The test programs run under Wine, in a prefix of this build folder, quietly,
# without offering to install Mono or Gecko: the i686 ones with Wine's 32-bit
# loader, the x86_64 ones with its 64-bit loader. Both folders' prefixes are
# 64-bit ones (made by wineboot of the 64-bit loader), in which the 32-bit
# loader runs PE32 programs as Windows' WOW64 does.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(SMTPMAIL_WINE /usr/lib/wine/wine CACHE FILEPATH "Wine loader of the test programs")
else()
  set(SMTPMAIL_WINE /usr/lib/wine/wine64 CACHE FILEPATH "Wine loader of the test programs")
endif()
set(SMTPMAIL_WINEBOOT /usr/lib/wine/wine64 CACHE FILEPATH "Wine loader that makes the prefix")
set(SMTPMAIL_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(SMTPMAIL_WINE_ENV WINEPREFIX=${SMTPMAIL_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env ${SMTPMAIL_WINE_ENV} ${SMTPMAIL_WINE})

# Modules carry their plain names (smtpmail.dll, vxstring.dll), as the host
# product loads them.
set(CMAKE_SHARED_LIBRARY_PREFIX "")
set(CMAKE_SHARED_MODULE_PREFIX "")

# On i686 (DWARF-2 unwinding) each of our DLLs looks up its frame tables in a
# shared libgcc as well, where the start-up code puts them when a host already
# holds one (src/platform/win32/module/FrameLookup_win32.cpp). x86_64 unwinds
# by the system's tables and needs nothing.
function(smtpmail_unwind_beside_shared_runtime)
  if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    return()
  endif()
  if(NOT TARGET frame_lookup)
    add_library(frame_lookup OBJECT ${PROJECT_SOURCE_DIR}/src/platform/win32/module/FrameLookup_win32.cpp)
    target_link_libraries(frame_lookup PRIVATE smtpmail_warnings)
  endif()
  foreach(dll ${ARGN})
    target_link_libraries(${dll} PRIVATE frame_lookup)
    target_link_options(${dll} PRIVATE -Wl,--wrap=_Unwind_Find_FDE)
  endforeach()
endfunction()
