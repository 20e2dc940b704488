# Installation layout and Debian packages (cpack -G DEB, or make package).
#
# Two components, one package each:
#   desktop -> velmomac:  velmomac, velmomactoday, velmo-settings, launchers, autostart entry, icons
#   tarvod  -> tarvod:    tarvod, gtfs-synth, the systemd unit, the example configuration
# Install rules without a COMPONENT belong to "desktop" (CMAKE_INSTALL_DEFAULT_COMPONENT_NAME,
# set before the folders are added); the service's rules name their component.
#
# Packages are built from a tree configured with -DCMAKE_INSTALL_PREFIX=/usr (make package does
# so): the autostart entry goes to the absolute ${CMAKE_INSTALL_FULL_SYSCONFDIR}, which is /etc
# only for that prefix.
include(GNUInstallDirs)

if(TARGET velmo-settings)
  install(TARGETS velmo-settings RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT desktop)
endif()
if(TARGET gtfs-synth)
  install(TARGETS gtfs-synth RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tarvod)
endif()

set(CPACK_PACKAGE_NAME velmomac)
set(CPACK_PACKAGE_VENDOR "velmomac")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's synopsis is the first line of its own description below; CPackDeb puts any
# summary other than CPack's default in front of both, so the default stays.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_CONTACT "velmomac developers <velmomac@localhost>")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL desktop tarvod)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)

set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME velmomac)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SECTION utils)
# Qt loads these at run time, so dpkg-shlibdeps cannot see them.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6positioning6-plugins, libqt6svg6")
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION
    "public-transport departures around you, on the Linux desktop\n\
The main window (velmomac) lists every departure near you, the tray widget\n\
(velmomactoday) shows the next few; velmo-settings edits their settings.")

set(CPACK_DEBIAN_TARVOD_PACKAGE_NAME tarvod)
set(CPACK_DEBIAN_TARVOD_PACKAGE_SECTION net)
# Time zones of the feeds come from the system's database.
set(CPACK_DEBIAN_TARVOD_PACKAGE_DEPENDS "tzdata")
set(CPACK_DEBIAN_TARVOD_PACKAGE_SUGGESTS "systemd")
set(CPACK_DEBIAN_TARVOD_DESCRIPTION
    "public-transport departures service on GTFS timetables\n\
tarvod answers the velmomac programs over HTTPS from GTFS and GTFS-Realtime\n\
feeds; gtfs-synth generates a synthetic city to try it with.")

include(CPack)
