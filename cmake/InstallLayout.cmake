# Where an installation puts things. The project is installed as a Debian
# package, so the prefix is /usr unless one is given; GNUInstallDirs then
# gives the multiarch library folder and /etc for the configuration.
set(BATTERY_PACKAGE battery-host)
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Installation prefix" FORCE)
endif()
set(CMAKE_INSTALL_DOCDIR share/doc/${BATTERY_PACKAGE} CACHE PATH "Documentation folder")
# GNUInstallDirs gives Debian's multiarch library folder to native builds
# only; the package of a cross build needs it as much.
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE AND CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
include(GNUInstallDirs)

# Plug-ins live in a folder of their own under the library folder.
set(BATTERY_PLUGIN_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/battery-host)
# The host's configuration, read by `battery-host run` when none is given.
set(BATTERY_CONFIG_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/battery-host)
set(BATTERY_DEFAULT_CONFIG ${BATTERY_CONFIG_DIR}/host.json)
# The service's state (StateDirectory=battery-host), and the state of a host
# run by hand on the installed configuration.
set(BATTERY_STATE_DIR ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/${BATTERY_PACKAGE})
# Debian 12 keeps the units of packages here (pkg-config systemd's systemdsystemunitdir).
set(BATTERY_UNIT_DIR /lib/systemd/system CACHE PATH "Folder for the systemd unit")

# Installed programs and the plug-in find their libraries relative to their
# own place; nothing in an installed file names the build tree.
file(RELATIVE_PATH BATTERY_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH BATTERY_BIN_TO_PLUGINS ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_PREFIX}/${BATTERY_PLUGIN_INSTALL_DIR})
file(RELATIVE_PATH BATTERY_PLUGINS_TO_LIB ${CMAKE_INSTALL_PREFIX}/${BATTERY_PLUGIN_INSTALL_DIR}
     ${CMAKE_INSTALL_FULL_LIBDIR})
