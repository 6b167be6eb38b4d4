# The layering of the view families, checked. Every family builds on UI/Shared; besides that a
# family may include only the families it places views of, one way:
#   Conversation -> Composer, Inspection   (the composer, goal banner and question/approval cards
#                                           in the bottom dock; the trajectory, run summary,
#                                           subagent catalogue and read-only composer)
#   Sidebar      -> Settings               (the settings sheet)
#   Tools        -> Composer, Inspection   (the cards of the side chat; the run inspector)
# Composer, Inspection, Settings, QuickAsk and Shared include no other family, so the edges
# form no cycle. Any other cross-family include fails, and so does a view that includes the
# wire or connection layers (views read the store and the session models) or a relative path.
#
# src/UI/CMakeLists.txt includes this file: the check runs when the build is configured and
# again whenever a view source changes. The unit test runs it as
#   cmake -DSOURCE_DIR=<repository> -P family_includes.cmake

if(CMAKE_SCRIPT_MODE_FILE)
  cmake_minimum_required(VERSION 3.25)
endif()

function(nbd_check_family_includes source_dir)
  set(allowed_Conversation Composer Inspection)
  set(allowed_Sidebar Settings)
  set(allowed_Tools Composer Inspection)

  file(GLOB_RECURSE files RELATIVE ${source_dir}/src
    ${source_dir}/src/UI/*.h ${source_dir}/src/UI/*.cpp)
  list(LENGTH files file_count)
  if(file_count EQUAL 0)
    message(FATAL_ERROR "no sources under ${source_dir}/src/UI")
  endif()

  set(violations)
  foreach(file IN LISTS files)
    if(NOT file MATCHES "^UI/([A-Za-z]+)/")
      list(APPEND violations "${file}: not in a family folder")
      continue()
    endif()
    set(family ${CMAKE_MATCH_1})
    file(STRINGS ${source_dir}/src/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
    foreach(line IN LISTS includes)
      if(NOT line MATCHES "[\"<]([^\">]+)[\">]")
        continue()
      endif()
      set(included ${CMAKE_MATCH_1})
      if(included MATCHES "(^|/)\\.\\./")
        list(APPEND violations "${file}: ${included} (a relative path, name headers from src/)")
      elseif(included MATCHES "^UI/([A-Za-z]+)/")
        set(target ${CMAKE_MATCH_1})
        if(NOT target STREQUAL family AND NOT target STREQUAL "Shared" AND NOT target IN_LIST allowed_${family})
          list(APPEND violations "${file}: ${included} (${family} may use only Shared and the families listed in family_includes.cmake)")
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
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  if(NOT SOURCE_DIR)
    message(FATAL_ERROR "SOURCE_DIR is not set")
  endif()
  nbd_check_family_includes(${SOURCE_DIR})
endif()
