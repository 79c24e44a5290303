# Fails when the program that shares files links a library of the desktop again (Qt, X11 and
# xcb, GL, ICU, PipeWire, sd-bus): each one costs a headless peer its start-up pages, about
# 13 MiB in all. Run as a test (tests/CMakeLists.txt), and by scripts/package-check.sh on the
# packaged program:
#   cmake -DPROGRAM=<path of pondard> -P tests/CheckLeanProgram.cmake
cmake_minimum_required(VERSION 3.25)

if(NOT PROGRAM)
  message(FATAL_ERROR "usage: cmake -DPROGRAM=<path of pondard> -P CheckLeanProgram.cmake")
endif()
execute_process(COMMAND readelf -d ${PROGRAM} OUTPUT_VARIABLE dynamic RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "readelf -d ${PROGRAM} failed")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^[]*\\[[^]\n]+\\]" entries "${dynamic}")
set(needed "")
set(desktop "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" library "${entry}")
  list(APPEND needed ${library})
  if(library MATCHES "^lib(Qt|X|xcb|GL|EGL|OpenGL|icu|pipewire|systemd|dbus|glib|gio|gobject)")
    list(APPEND desktop ${library})
  endif()
endforeach()
# Without libc among them the pattern above no longer reads readelf's output.
if(NOT "libc.so.6" IN_LIST needed)
  message(FATAL_ERROR "${PROGRAM}: libc.so.6 not among the libraries read (${needed})")
endif()
if(desktop)
  message(FATAL_ERROR "${PROGRAM} links libraries of the desktop: ${desktop}")
endif()
message(STATUS "${PROGRAM} links ${needed}")
