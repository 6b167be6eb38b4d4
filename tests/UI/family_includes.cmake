# Each view family builds on UI/Shared alone: a file in src/UI/<Family>/ that includes another
# family's header fails here, and so does a view that includes the wire or connection layers
# (views read the store and the session models). Run as
#   cmake -DSOURCE_DIR=<repository> -P family_includes.cmake

cmake_minimum_required(VERSION 3.25)

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR is not set")
endif()

file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR}/src
  ${SOURCE_DIR}/src/UI/*.h ${SOURCE_DIR}/src/UI/*.cpp)
list(LENGTH files file_count)
if(file_count EQUAL 0)
  message(FATAL_ERROR "no sources under ${SOURCE_DIR}/src/UI")
endif()

set(violations)
foreach(file IN LISTS files)
  if(NOT file MATCHES "^UI/([A-Za-z]+)/")
    list(APPEND violations "${file}: not in a family folder")
    continue()
  endif()
  set(family ${CMAKE_MATCH_1})
  file(STRINGS ${SOURCE_DIR}/src/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    if(NOT line MATCHES "\"([^\"]+)\"")
      continue()
    endif()
    set(included ${CMAKE_MATCH_1})
    if(included MATCHES "(^|/)\\.\\./")
      list(APPEND violations "${file}: ${included} (a relative path, name headers from src/)")
    elseif(included MATCHES "^UI/([A-Za-z]+)/")
      if(NOT CMAKE_MATCH_1 STREQUAL family AND NOT CMAKE_MATCH_1 STREQUAL "Shared")
        list(APPEND violations "${file}: ${included} (another family, share it through UI/Shared)")
      endif()
    elseif(included MATCHES "^(Wire|Connection)/")
      list(APPEND violations "${file}: ${included} (views use the store, not the ${CMAKE_MATCH_1} layer)")
    endif()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "View families include what they must not:\n  ${text}")
endif()
message(STATUS "${file_count} view sources checked")
