# The manual pages, written in scdoc (packaging/man/NAME.SECTION.scd) and
# built with the programs: the package installs them compressed, as Debian
# wants. scdoc is a build dependency like the compiler.
find_program(SCDOC scdoc)
if(NOT SCDOC)
  message(FATAL_ERROR "scdoc not found: the package's manual pages are built with it "
                      "(apt-get install scdoc, or scripts/install-deps)")
endif()

set(battery_manuals battery-host.1 battery-host.json.5 battery-monitor-sim.1)
set(battery_manual_files "")
foreach(page IN LISTS battery_manuals)
  set(source ${PROJECT_SOURCE_DIR}/packaging/man/${page}.scd)
  set(output ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND sh -c "'${SCDOC}' <'${source}' | gzip -9n >'${output}'"
    DEPENDS ${source} VERBATIM)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  list(APPEND battery_manual_files ${output})
endforeach()
add_custom_target(manuals ALL DEPENDS ${battery_manual_files})

# Bash completion, where bash-completion looks for it (its pkg-config file
# names the folder; Debian's is this one).
pkg_get_variable(BATTERY_COMPLETIONS_DIR bash-completion completionsdir)
if(NOT BATTERY_COMPLETIONS_DIR OR CMAKE_CROSSCOMPILING)
  set(BATTERY_COMPLETIONS_DIR ${CMAKE_INSTALL_FULL_DATADIR}/bash-completion/completions)
endif()
install(FILES packaging/battery-host.bash-completion DESTINATION ${BATTERY_COMPLETIONS_DIR}
        RENAME battery-host)
