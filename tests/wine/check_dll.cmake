# Checks what QSNWNDUT.dll shows the loader: exactly one export, QsnMain by
# its undecorated name, and imports from Windows system DLLs (WINMM for the
# timer resolution around a pause) and from KALDOR.DLL (err, by name) only, so
# no MinGW runtime DLL has to ship with it.
#   cmake -DOBJDUMP=... -DDLL=.../QSNWNDUT.dll -P check_dll.cmake

set(want_exports "QsnMain")
set(want_dlls "KALDOR.DLL;KERNEL32.dll;WINMM.DLL;msvcrt.dll")
set(want_kaldor "err")

if(NOT OBJDUMP)
  message(FATAL_ERROR "i686-w64-mingw32-objdump not found")
endif()
if(NOT EXISTS "${DLL}")
  message(FATAL_ERROR "${DLL} missing: build the windows preset first")
endif()
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${DLL}")
endif()

# Names of the export name table: "\t[   0] QsnMain" lines after its heading.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(\t\\[ *[0-9]+\\] [^\n]+\n)*" table "${dump}")
string(REGEX MATCHALL "\t\\[ *[0-9]+\\] [^\n]+" exports "${table}")
list(TRANSFORM exports REPLACE "^\t\\[ *[0-9]+\\] " "")

string(REGEX MATCHALL "DLL Name: [^\n]+" dlls "${dump}")
list(TRANSFORM dlls REPLACE "^DLL Name: " "")
list(SORT dlls)

# The import names that follow "DLL Name: KALDOR.DLL" up to the next blank line.
string(REGEX MATCH "DLL Name: KALDOR.DLL\n[^\n]*\n((\t[0-9a-f]+\t +[0-9]+ +[^\n]+\n)*)" _ "${dump}")
string(REGEX MATCHALL "[0-9] +[A-Za-z_][^\n]*" kaldor "${CMAKE_MATCH_1}")
list(TRANSFORM kaldor REPLACE "^[0-9] +" "")

set(failed FALSE)
foreach(what exports dlls kaldor)
  if(NOT "${${what}}" STREQUAL "${want_${what}}")
    message(SEND_ERROR "${what}: want [${want_${what}}], got [${${what}}]")
    set(failed TRUE)
  else()
    message(STATUS "${what}: ${${what}}")
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "${DLL} does not have the expected exports and imports")
endif()
