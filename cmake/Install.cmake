# Install rules and the Debian package.
#
# Installed tree (PREFIX is /usr in the package):
#   PREFIX/bin/orbanix, orbanix-gui, orbanix-decrypt
#   PREFIX/share/orbanix/            config.ini, Languages/, template/, manual/
#   PREFIX/share/applications/orbanix.desktop
#   PREFIX/share/icons/hicolor/NxN/apps/orbanix.png, scalable/apps/orbanix.svg
#   PREFIX/share/man/man1/orbanix.1, orbanix-gui.1, orbanix-decrypt.1
#   PREFIX/share/bash-completion/completions/orbanix
# The programs look for their data files beside themselves first (the build
# tree) and then in ../share/orbanix (ProgramDataFolder), so the same
# binaries run from either tree. The skin is compiled into the desktop
# program's resources and needs no files.
include(GNUInstallDirs)

set(ORBANIX_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/orbanix)

foreach(program orbanix orbanix-decrypt orbanix-gui)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(FILES ${CMAKE_SOURCE_DIR}/config.ini DESTINATION ${ORBANIX_INSTALL_DATADIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/Languages ${CMAKE_SOURCE_DIR}/template DESTINATION ${ORBANIX_INSTALL_DATADIR})
if(EXISTS ${CMAKE_SOURCE_DIR}/manual)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/manual DESTINATION ${ORBANIX_INSTALL_DATADIR})
endif()

set(packaging ${CMAKE_SOURCE_DIR}/packaging)
if(TARGET orbanix-gui)
  install(FILES ${packaging}/orbanix.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  foreach(size 16 24 32 48 64 128 256)
    install(FILES ${packaging}/icons/orbanix-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME orbanix.png)
  endforeach()
  install(FILES ${packaging}/icons/orbanix.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

# Manual pages carry the version; they are compressed as Debian wants.
find_program(GZIP_PROGRAM gzip)
foreach(page orbanix orbanix-gui orbanix-decrypt)
  if(page STREQUAL "orbanix-gui" AND NOT TARGET orbanix-gui)
    continue()
  endif()
  set(VERSION ${PROJECT_VERSION})
  configure_file(${packaging}/man/${page}.1 ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
  if(GZIP_PROGRAM)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.1.gz
                       COMMAND ${GZIP_PROGRAM} -9 -n -c ${CMAKE_BINARY_DIR}/man/${page}.1 > ${CMAKE_BINARY_DIR}/man/${page}.1.gz
                       DEPENDS ${CMAKE_BINARY_DIR}/man/${page}.1 VERBATIM)
    list(APPEND orbanix_man_pages ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  else()
    list(APPEND orbanix_man_pages ${CMAKE_BINARY_DIR}/man/${page}.1)
  endif()
endforeach()
add_custom_target(orbanix_man_pages ALL DEPENDS ${orbanix_man_pages})
install(FILES ${orbanix_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${packaging}/bash-completion/orbanix DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The Debian package: `cpack -G DEB` in the build folder. Its dependencies
# are the Debian packages of the shared libraries the programs link against
# (found by dpkg-shlibdeps), plus what Qt loads as plug-ins at run time.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orbanix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Orbanix")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "get back photos, messages, contacts and chats from iPhone backups")
set(CPACK_PACKAGE_DESCRIPTION
    "Orbanix finds the iPhone backups on this computer (or talks to a connected iPhone), scans one for photos, app media, messages and attachments, contacts, call history, notes, reminders, calendar, Safari, WhatsApp, QQ and WeChat chats - live rows and rows recovered from the free space of the SQLite files - previews them and writes what the user keeps to a folder as HTML, TXT, CSV, vCard and JSON Lines documents and media copies. Encrypted backups are deciphered with the user's password.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Orbanix developers <orbanix@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TARGET orbanix-gui)
  # Plug-ins that no binary links: SVG images of the skin and the icons.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "usbmuxd, gstreamer1.0-plugins-good")
else()
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "usbmuxd")
endif()
include(CPack)
