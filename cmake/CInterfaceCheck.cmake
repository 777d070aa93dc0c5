# The build's check that the programs and the plug-in call no function of a C
# library whose declaration involves a type that changes size with
# _TIME_BITS=64 or _FILE_OFFSET_BITS=64 (cmake/check-c-interfaces.sh).
# Debian's libraries for the controller were built with a 32-bit time_t and
# off_t; a C symbol names no types, so such a call would link and run with
# its data in the wrong size. C++ libraries need no such check for time_t:
# their symbols carry the parameter types, and a long long where the library
# has a long fails to link; but a struct keeps its name whatever its layout,
# and libstdc++'s system_clock::now() reads the clock inside the library,
# with its own 32-bit time_t, so the check refuses those too.
#
#   battery_c_library(NAME TARGET HEADER...)
#     NAME: the library as its soname begins ("libssl"); TARGET: the imported
#     target that gives its include folders; HEADER: the headers that declare
#     what the project calls of it.
#   battery_check_c_interfaces(TARGET...)
#     checks the given programs and libraries as part of the default build;
#     called where the libraries' imported targets are visible.

function(battery_c_library name target)
  set_property(GLOBAL APPEND PROPERTY BATTERY_C_LIBRARIES ${name})
  set_property(GLOBAL APPEND PROPERTY BATTERY_C_LIBRARY_TARGETS ${target})
  set_property(GLOBAL APPEND PROPERTY BATTERY_C_LIBRARY_HEADERS ${ARGN})
endfunction()

function(battery_check_c_interfaces)
  get_property(names GLOBAL PROPERTY BATTERY_C_LIBRARIES)
  get_property(targets GLOBAL PROPERTY BATTERY_C_LIBRARY_TARGETS)
  get_property(headers GLOBAL PROPERTY BATTERY_C_LIBRARY_HEADERS)
  list(REMOVE_DUPLICATES headers)

  # The headers preprocessed with the flags of the project's own sources (the
  # definitions above all): an object library compiled with -E, whose
  # "object" is the text that the check reads.
  set(source "${CMAKE_CURRENT_BINARY_DIR}/c_library_headers.cpp")
  set(content "// The headers of the C libraries that the project calls (battery_c_library).\n")
  foreach(header IN LISTS headers)
    string(APPEND content "#include <${header}>\n")
  endforeach()
  file(CONFIGURE OUTPUT "${source}" CONTENT "${content}" @ONLY)
  add_library(c_library_headers OBJECT "${source}")
  target_link_libraries(c_library_headers PRIVATE project_options ${targets})
  target_compile_options(c_library_headers PRIVATE -E)

  # The binaries' NEEDED libraries are looked for as the linker finds them:
  # the build's own, then Debian's multiarch folders (under the sysroot of a
  # cross build), then the compiler's own.
  set(folders "${CMAKE_LIBRARY_OUTPUT_DIRECTORY}")
  set(roots "${CMAKE_FIND_ROOT_PATH}")
  if(NOT roots)
    set(roots "/")
  endif()
  foreach(root IN LISTS roots)
    foreach(folder lib/${CMAKE_LIBRARY_ARCHITECTURE} usr/lib/${CMAKE_LIBRARY_ARCHITECTURE} lib usr/lib)
      cmake_path(APPEND root "${folder}" OUTPUT_VARIABLE path)
      list(APPEND folders "${path}")
    endforeach()
  endforeach()
  list(APPEND folders ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES})
  list(REMOVE_DUPLICATES folders)
  list(JOIN folders ":" library_path)

  set(own "")
  set(files "")
  foreach(target IN LISTS ARGN)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
      list(APPEND own "$<TARGET_SONAME_FILE_NAME:${target}>")
    endif()
    list(APPEND files "$<TARGET_FILE:${target}>")
  endforeach()
  list(JOIN own " " own)
  list(JOIN names " " names)

  set(check "${PROJECT_SOURCE_DIR}/cmake/check-c-interfaces.sh")
  set(command sh "${check}" --nm "${CMAKE_NM}" --objdump "${CMAKE_OBJDUMP}"
      --declarations "$<TARGET_OBJECTS:c_library_headers>" --c-libraries "${names}"
      --own "${own}" --library-path "${library_path}")
  # The same command for the check's own test, which gives it other binaries.
  set_property(GLOBAL PROPERTY BATTERY_C_INTERFACE_CHECK "${command}")

  set(stamp "${CMAKE_CURRENT_BINARY_DIR}/c-interfaces.checked")
  add_custom_command(OUTPUT "${stamp}"
    COMMAND ${command} ${files}
    COMMAND ${CMAKE_COMMAND} -E touch "${stamp}"
    DEPENDS ${ARGN} c_library_headers "$<TARGET_OBJECTS:c_library_headers>" "${check}"
      "${PROJECT_SOURCE_DIR}/cmake/check-c-interfaces.awk"
    COMMENT "Checking the calls into C libraries for time_t and off_t"
    VERBATIM)
  add_custom_target(c_interface_check ALL DEPENDS "${stamp}")
endfunction()
