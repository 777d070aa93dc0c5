# Installation and the Debian package battery-host_VERSION_ARCH.deb (cpack in
# the build folder). An installation into a staging folder:
#   DESTDIR=$PWD/stage cmake --install build
# (the configuration and the unit have absolute places, /etc and /lib).

set(BATTERY_MAINTAINER "battery2v_32 maintainers <maintainers@battery2v-32.example.org>")

install(TARGETS battery-host battery-monitor-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The framework without its development link: plug-ins are built from the sources.
install(TARGETS host_framework LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)
install(TARGETS battery2v_32 LIBRARY DESTINATION ${BATTERY_PLUGIN_INSTALL_DIR})

# On MIPS, glibc and the toolchain mark programs and libraries as needing an
# executable stack, and systemd's MemoryDenyWriteExecute refuses the writable
# and executable memory that such a stack is: the unit leaves it out there.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^mips")
  set(BATTERY_UNIT_WX "# MemoryDenyWriteExecute: not on MIPS (executable stacks)")
else()
  set(BATTERY_UNIT_WX "MemoryDenyWriteExecute=yes")
endif()
configure_file(packaging/battery-host.service.in battery-host.service @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/battery-host.service DESTINATION ${BATTERY_UNIT_DIR})

# The template the integrator copies to host.json: two monitors on a serial port.
install(FILES examples/host-serial.json DESTINATION ${BATTERY_CONFIG_DIR}
        RENAME host.json.example)
file(GLOB example_files ${PROJECT_SOURCE_DIR}/examples/*.json
     ${PROJECT_SOURCE_DIR}/examples/*.replay)
install(FILES ${example_files} DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# Alert rules for the host's metrics, with the tests promtool runs on them.
install(FILES examples/prometheus/battery-host.rules.yml
        examples/prometheus/battery-host.rules.test.yml
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/prometheus)

# Debian wants the changelog compressed without a time stamp.
configure_file(packaging/changelog.in changelog @ONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_CURRENT_BINARY_DIR}/changelog COMMAND_ERROR_IS_FATAL ANY)
install(FILES README.md packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The pages README.md links to, so that its links hold where it is installed.
file(GLOB doc_pages ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${doc_pages} docs/status-page.png DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

# Every file under /etc is a conffile: dpkg keeps the integrator's changes.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/conffiles "${BATTERY_CONFIG_DIR}/host.json.example\n")
# The framework library is public (other plug-ins link it): the loader's cache
# is rebuilt after installation.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/triggers "activate-noawait ldconfig\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${BATTERY_PACKAGE})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${BATTERY_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "battery monitor host for 2 V cell strings on serial lines")
set(CPACK_PACKAGE_DESCRIPTION "battery-host loads the battery2v_32 device plug-in and polls battery
monitors (32 cells of 2 V, group voltage, current, temperature) over
19200-baud serial lines, writing every record as a JSON line and keeping a
history per monitor. It runs as the systemd service battery-host once
${BATTERY_DEFAULT_CONFIG} exists. battery-monitor-sim plays monitors on
a pseudo-terminal for trials without hardware.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/conffiles
    ${CMAKE_CURRENT_BINARY_DIR}/triggers
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# Native builds take Depends from dpkg-shlibdeps; it cannot look into the cross
# sysroot, so cross builds use this list, which scripts/test-package checks
# against what dpkg-shlibdeps gives the native package.
set(BATTERY_DEB_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libjsoncpp25 (>= 1.9.5), \
libmosquitto1 (>= 1.6), libssl3 (>= 3.0.0), libstdc++6 (>= 11), libsystemd0")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/cross-depends "${BATTERY_DEB_DEPENDS}\n")
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS ${BATTERY_DEB_DEPENDS})
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
execute_process(COMMAND dpkg-architecture -qDEB_HOST_ARCH -t ${CMAKE_LIBRARY_ARCHITECTURE}
  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
include(CPack)
