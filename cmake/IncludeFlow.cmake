# The include flow of a program's folders: each folder is a library of its
# own that may use only the folders it is given. Before a library is
# compiled, the build reads its sources and headers
# (cmake/check-include-flow.cmake) and stops at an include of a folder outside
# its list, naming the file, the line and the folder. A static library would
# link whatever it includes; this is what keeps the flow.
#
#   battery_include_flow(TARGET [FOLDER folder] [FILES file...]
#                        [MAY_INCLUDE entry...] [HEADERS_MAY_NOT_INCLUDE path...])
#     TARGET: the library or program built from the files; FOLDER: a folder of
#     the current source folder, whose .h and .cpp files (its subfolders'
#     too) are read; FILES: more files, from the current source folder.
#     An include "<the current source folder, from the project's top>/PATH"
#     is allowed when PATH lies in the including file's own folder (the
#     first folder of its path; the files at the top are a folder of their
#     own), or is a MAY_INCLUDE entry or lies below one: a folder ("line") or
#     one file ("version.h"). A header includes nothing below the
#     HEADERS_MAY_NOT_INCLUDE paths, given from the project's top
#     ("programs/monitor-model").

set(BATTERY_INCLUDE_FLOW_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/check-include-flow.cmake")

function(battery_include_flow target)
  cmake_parse_arguments(PARSE_ARGV 1 flow "" "FOLDER" "FILES;MAY_INCLUDE;HEADERS_MAY_NOT_INCLUDE")
  set(files "")
  if(flow_FOLDER)
    file(GLOB_RECURSE files CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/${flow_FOLDER}/*.h"
         "${CMAKE_CURRENT_SOURCE_DIR}/${flow_FOLDER}/*.cpp")
  endif()
  foreach(file IN LISTS flow_FILES)
    list(APPEND files "${CMAKE_CURRENT_SOURCE_DIR}/${file}")
  endforeach()
  file(RELATIVE_PATH prefix "${PROJECT_SOURCE_DIR}" "${CMAKE_CURRENT_SOURCE_DIR}")
  set(stamp "${CMAKE_CURRENT_BINARY_DIR}/include_flow/${target}.stamp")
  add_custom_command(OUTPUT "${stamp}"
    COMMAND "${CMAKE_COMMAND}" "-DROOT=${CMAKE_CURRENT_SOURCE_DIR}" "-DPREFIX=${prefix}"
      "-DFILES=${files}" "-DMAY_INCLUDE=${flow_MAY_INCLUDE}"
      "-DHEADERS_MAY_NOT_INCLUDE=${flow_HEADERS_MAY_NOT_INCLUDE}" "-DSTAMP=${stamp}"
      -P "${BATTERY_INCLUDE_FLOW_SCRIPT}"
    DEPENDS ${files} "${BATTERY_INCLUDE_FLOW_SCRIPT}"
    COMMENT "Checking the includes of ${target}"
    VERBATIM)
  add_custom_target(${target}_include_flow DEPENDS "${stamp}")
  add_dependencies(${target} ${target}_include_flow)
endfunction()
