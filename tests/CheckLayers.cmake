# Fails when a file includes a header of a layer above its own, so that the layering cannot
# rot one convenient include at a time. Run as a test (tests/CMakeLists.txt):
#   cmake -DPONDAR_ROOT=<source tree> -P tests/CheckLayers.cmake
#
# The layers, lowest first; folders of one rank may include each other. The first five make
# the peer library pondar; screen makes pondard_screen (the codec and the capture thread) and
# pondard_desktop_screen (capture from the desktop, the viewer), then come pondard_app,
# pondard_ui and main's two programs: pondard, which links no library of the desktop (the test
# Program.LinksNoDesktop checks that), and pondard-desktop. A new folder under src/ must be given
# its place here.
cmake_minimum_required(VERSION 3.25)

set(layers core=0 net=1 fs=1 sync=2 clipboard=3 screen=4 app=5 ui=6 main=7)
# Only these layers link Qt; the peer library and the engine must build without it.
set(qt_layers screen ui main)

if(NOT PONDAR_ROOT)
  message(FATAL_ERROR "usage: cmake -DPONDAR_ROOT=<source tree> -P CheckLayers.cmake")
endif()

foreach(pair IN LISTS layers)
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 folder)
  list(GET pair 1 rank)
  set(rank_${folder} ${rank})
endforeach()

# Sources of the libraries, and the tests of each layer (tests/<layer>/): a test of the peer
# library that includes the window would link it back in. tests/support, lab, main, programs
# and fuzz sit above every layer and are not checked.
file(GLOB_RECURSE files RELATIVE ${PONDAR_ROOT} ${PONDAR_ROOT}/src/*.h ${PONDAR_ROOT}/src/*.cpp)
foreach(pair IN LISTS layers)
  string(REGEX REPLACE "=.*" "" folder "${pair}")
  file(GLOB tests RELATIVE ${PONDAR_ROOT} ${PONDAR_ROOT}/tests/${folder}/*.cpp)
  list(APPEND files ${tests})
endforeach()

set(problems "")
set(checked 0)
foreach(file IN LISTS files)
  string(REGEX MATCH "^(src|tests)/([^/]+)/" _ "${file}")
  set(kind ${CMAKE_MATCH_1})
  set(own ${CMAKE_MATCH_2})
  if(NOT DEFINED rank_${own})
    string(APPEND problems "\n  ${file}: folder '${own}' has no place among the layers")
    continue()
  endif()
  file(STRINGS ${PONDAR_ROOT}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
  foreach(line IN LISTS includes)
    if(line MATCHES "include[ \t]*<Q" AND NOT own IN_LIST qt_layers)
      string(APPEND problems "\n  ${file}: '${line}': Qt in a layer built without it")
    endif()
    if(NOT line MATCHES "include[ \t]*\"([^/\"]+)/")
      continue()
    endif()
    set(target ${CMAKE_MATCH_1})
    if(NOT DEFINED rank_${target})
      # Test scaffolding (support/...) is no layer; in the libraries every folder must be one.
      if(kind STREQUAL "src")
        string(APPEND problems "\n  ${file}: '${line}': folder '${target}' is no layer")
      endif()
      continue()
    endif()
    math(EXPR checked "${checked} + 1")
    if(rank_${target} GREATER rank_${own})
      string(APPEND problems "\n  ${file}: '${line}': ${own}/ must not include ${target}/, a layer above it")
    endif()
  endforeach()
endforeach()

# A pattern that stopped matching would pass every tree: make sure the check saw the includes.
if(checked LESS 50)
  message(FATAL_ERROR "only ${checked} includes of the layers found under ${PONDAR_ROOT}: is that the source tree?")
endif()
if(problems)
  message(FATAL_ERROR "includes against the layering (lowest first: core, net and fs, sync, "
    "clipboard, screen, app, ui, main):${problems}")
endif()
message(STATUS "${checked} includes in ${PONDAR_ROOT}/src and its layers' tests follow the layering")
