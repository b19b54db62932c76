cmake_minimum_required(VERSION 3.20)
# Build step of the Windows DLLs: the export table holds exactly the expected
# names, undecorated (by default the provider's sixteen Mail_ names), and the
# import table names only Windows system DLLs and the host product's own
# libraries.
#   cmake -DOBJDUMP=... -DDLL=... [-DEXPORTS=name;...] [-DIMPORTS_ALLOWED=x.dll;...]
#         -P CheckWindowsDll.cmake
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()

# Exports: the lines after "[Ordinal/Name Pointer] Table", "[   n] Name".
set(exports "")
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
if(at GREATER -1)
  string(SUBSTRING "${dump}" ${at} -1 table)
  string(REGEX MATCHALL "\n[ \t]*\\[[ 0-9]+\\] [^\n]+" rows "${table}")
  foreach(row ${rows})
    string(REGEX REPLACE "^\n[ \t]*\\[[ 0-9]+\\] " "" name "${row}")
    list(APPEND exports ${name})
  endforeach()
endif()
list(SORT exports)
if(DEFINED EXPORTS)
  set(expected ${EXPORTS})
  list(SORT expected)
  string(REPLACE ";" " " what "${expected}")
else()
  set(expected Mail_AttachmentSave Mail_Delete Mail_Deliver Mail_Execute Mail_FindClose Mail_FindFirst
      Mail_FindNext Mail_FreeBuffer Mail_GetLastError Mail_GetProperty Mail_Initialize Mail_Receive
      Mail_ResolveAddress Mail_Send Mail_SetProperty Mail_Uninitialize)
  set(what "the sixteen Mail_ names")
endif()
if(NOT exports STREQUAL expected)
  string(REPLACE ";" "\n  " shown "${exports}")
  message(FATAL_ERROR "${DLL}: the exports are\n  ${shown}\nnot exactly ${what}")
endif()

# Imports: every "DLL Name:" line.
string(REGEX MATCHALL "DLL Name: [^\n]+" rows "${dump}")
set(allowed kernel32.dll user32.dll advapi32.dll ws2_32.dll secur32.dll crypt32.dll rpcrt4.dll
    msvcrt.dll vxstring.dll vxutil.dll oauthrelay.dll ${IMPORTS_ALLOWED})
set(imports "")
foreach(row ${rows})
  string(REGEX REPLACE "^DLL Name: *" "" name "${row}")
  string(STRIP "${name}" name)
  string(TOLOWER "${name}" lower)
  list(APPEND imports ${name})
  # The C runtime also comes as the api-ms-win-crt-* set of the universal CRT.
  if(NOT lower IN_LIST allowed AND NOT lower MATCHES "^api-ms-win-crt-.*\\.dll$")
    message(FATAL_ERROR "${DLL} imports ${name}, which is neither a Windows system DLL nor one of the host product's")
  endif()
endforeach()
string(REPLACE ";" " " shown "${imports}")
message(STATUS "${DLL}: exports ${what}; imports ${shown}")
