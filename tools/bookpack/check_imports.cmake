# Fails the build when bookpack.exe imports a DLL that is not part of
# Windows: the release is one file, and a MinGW runtime DLL it needed
# would be missing on the publisher's machine.
cmake_policy(SET CMP0057 NEW)
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${dump}")
set(allowed kernel32.dll msvcrt.dll bcrypt.dll advapi32.dll user32.dll shell32.dll)
set(names)
foreach(line IN LISTS lines)
  string(REPLACE "DLL Name: " "" name "${line}")
  string(TOLOWER "${name}" lower)
  list(APPEND names ${lower})
  if(NOT lower IN_LIST allowed AND NOT lower MATCHES "^api-ms-win-")
    message(FATAL_ERROR "bookpack.exe imports ${name}, which Windows does not have; "
            "link it statically")
  endif()
endforeach()
list(JOIN names ", " shown)
message(STATUS "bookpack.exe imports ${shown}")
