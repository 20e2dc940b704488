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
# The maintainer the packages name: -DVELMO_MAINTAINER="Name <address>", else Debian's
# DEBFULLNAME and DEBEMAIL, else the name and address git knows for this tree.
if(NOT VELMO_MAINTAINER)
  if(DEFINED ENV{DEBFULLNAME} AND DEFINED ENV{DEBEMAIL})
    set(maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
  else()
    find_package(Git QUIET)
    if(GIT_FOUND)
      execute_process(COMMAND ${GIT_EXECUTABLE} config user.name WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                      OUTPUT_VARIABLE name OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      execute_process(COMMAND ${GIT_EXECUTABLE} config user.email WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                      OUTPUT_VARIABLE email OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(name AND email)
        set(maintainer "${name} <${email}>")
      endif()
    endif()
  endif()
  if(NOT maintainer)
    message(WARNING "No maintainer for the Debian packages: set VELMO_MAINTAINER, or DEBFULLNAME and DEBEMAIL")
    set(maintainer "velmomac packager <root@${CMAKE_HOST_SYSTEM_NAME}.invalid>")
  endif()
  set(VELMO_MAINTAINER "${maintainer}" CACHE STRING "Maintainer of the Debian packages: Name <address>")
endif()
set(CPACK_PACKAGE_CONTACT "${VELMO_MAINTAINER}")
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
feeds; gtfs-synth generates a synthetic city to try it with.\n\
.\n\
The service starts after installation but serves no city until one is added:\n\
put the city's GTFS zip where everyone may read it (e.g. /srv/gtfs), name it in\n\
a [[city]] table of /etc/tarvod/tarvod.toml and run systemctl restart tarvod.\n\
See man 8 tarvod.")

# What every Debian package carries besides its programs: a machine-readable copyright file, a
# changelog of this version, and manual pages.
set(VELMO_COPYRIGHT_HOLDER "the velmomac developers" CACHE STRING "Copyright holder named in the packages")
set(VELMO_LICENSE "other" CACHE STRING "Short name of the licence the packages are distributed under")
set(VELMO_LICENSE_TEXT " No licence has been granted for velmomac yet: all rights are reserved by its\n authors." CACHE STRING
    "The licence's text for the copyright file, each line starting with a space")
string(TIMESTAMP VELMO_COPYRIGHT_YEAR "%Y" UTC)
string(TIMESTAMP DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)  # SOURCE_DATE_EPOCH when set
set(VERSION "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
string(REPLACE "\\n" "\n" VELMO_LICENSE_TEXT "${VELMO_LICENSE_TEXT}")
configure_file(packaging/copyright.in packaging/copyright @ONLY)
find_program(GZIP gzip REQUIRED)
foreach(PACKAGE velmomac tarvod)
  set(component desktop)
  if(PACKAGE STREQUAL "tarvod")
    set(component tarvod)
  endif()
  configure_file(packaging/changelog.in packaging/${PACKAGE}/changelog.Debian @ONLY)
  # -n: no name or time stamp in the archive, so the same sources give the same package.
  execute_process(COMMAND ${GZIP} -9nf packaging/${PACKAGE}/changelog.Debian WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
  install(FILES ${PROJECT_BINARY_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/${PACKAGE}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PACKAGE} COMPONENT ${component})
endforeach()

# Manual pages: one hand-written source each under packaging/man, the version filled in.
set(man_pages velmomac.1:desktop velmomactoday.1:desktop velmo-settings.1:desktop tarvod.8:tarvod gtfs-synth.1:tarvod)
set(man_outputs)
foreach(entry IN LISTS man_pages)
  string(REPLACE ":" ";" parts "${entry}")
  list(GET parts 0 page)
  list(GET parts 1 component)
  string(REGEX REPLACE ".*\\." "" section "${page}")
  set(out ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/packaging/man/${page} -DOUT=${PROJECT_BINARY_DIR}/man/${page}
            -DVERSION=${PROJECT_VERSION} -P ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
    COMMAND ${GZIP} -9nf ${PROJECT_BINARY_DIR}/man/${page}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/man/${page} ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
    COMMENT "Manual page ${page}")
  list(APPEND man_outputs ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endforeach()
add_custom_target(man ALL DEPENDS ${man_outputs})

# Files under /etc are the administrator's: upgrades keep their changes.
file(WRITE ${PROJECT_BINARY_DIR}/packaging/velmomac/conffiles "/etc/xdg/autostart/velmomactoday.desktop\n")
file(WRITE ${PROJECT_BINARY_DIR}/packaging/tarvod/conffiles "/etc/tarvod/tarvod.toml\n")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/velmomac/conffiles)
set(CPACK_DEBIAN_TARVOD_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/tarvod/conffiles)

include(CPack)
