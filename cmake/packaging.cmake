# Install rules and packages: a Debian package from a POSIX build, a .zip
# from a Windows build (`cpack` in the build folder makes either).
#
# The program's working folder is the folder of its own executable, so the
# executable never goes on the PATH (from /usr/bin it would look for
# /usr/bin/ORDEM). On Linux it lives in a package folder of its own and a
# setup command copies it, with an example working folder, beside each
# calling program. On Windows the zip is itself a working folder.

set(TS_EXAMPLE_SOURCE "${PROJECT_SOURCE_DIR}/packaging/example")

set(CPACK_PACKAGE_NAME terminal-serial)
set(CPACK_PACKAGE_VENDOR "terminal-serial team")
# A placeholder until the project has a real address: lintian reports it
# (bogus-mail-host), and scripts/test-packaging.sh lets only that pass.
set(CPACK_PACKAGE_CONTACT "terminal-serial team <terminal-serial@localhost>"
    CACHE STRING "Maintainer named in the packages")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "A calling program writes an order file (port, line settings, text), starts
terminal-serial and reads the response file: the result code, and on success
every byte the device sent back within one second. A small status window
shows the exchange when a display is available.")
set(CPACK_STRIP_FILES ON)

# The manual as plain text, for readers without man (the Windows package).
function(ts_render_manual_text page output)
  find_program(TS_GROFF groff)
  if(NOT TS_GROFF)
    message(STATUS "groff not found: the package carries no text manual")
    return()
  endif()
  add_custom_command(
    OUTPUT "${output}"
    COMMAND "${TS_GROFF}" -k -man -Tutf8 -P-cbou "${page}" > "${output}"
    DEPENDS "${page}"
    VERBATIM)
  add_custom_target(ts_manual_text ALL DEPENDS "${output}")
  install(FILES "${output}" DESTINATION .)
endfunction()

if(WIN32)
  # Flat, so that unpacked beside a calling program the executable finds its
  # config.ini, ORDEM and RESPOSTA at once. A zip cannot hold an empty
  # folder: each carries a short note.
  install(TARGETS terminal-serial terminal-serial-check RUNTIME DESTINATION .)
  install(FILES docs/troubleshooting.md DESTINATION .)
  install(FILES "${TS_EXAMPLE_SOURCE}/config.ini" DESTINATION .)
  install(FILES "${TS_EXAMPLE_SOURCE}/ORDEM/README.txt" DESTINATION ORDEM)
  install(FILES "${TS_EXAMPLE_SOURCE}/RESPOSTA/README.txt" DESTINATION RESPOSTA)
  install(FILES examples/caller.bat examples/caller.py DESTINATION examples)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
  ts_render_manual_text("${PROJECT_SOURCE_DIR}/man/terminal-serial.1"
                        "${PROJECT_BINARY_DIR}/terminal-serial.txt")

  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  # The 32-bit build runs on every supported Windows, 32- and 64-bit alike:
  # it is the one shipped. A 64-bit build's zip says so in its name.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_PACKAGE_FILE_NAME "terminal-serial-${PROJECT_VERSION}-windows")
  else()
    set(CPACK_PACKAGE_FILE_NAME "terminal-serial-${PROJECT_VERSION}-windows-x64")
  endif()
else()
  set(TS_INSTALL_PKGDIR lib/terminal-serial)
  set(TS_INSTALL_EXAMPLEDIR share/terminal-serial/example)
  set(TS_INSTALL_DOCDIR share/doc/terminal-serial)

  install(TARGETS terminal-serial RUNTIME DESTINATION "${TS_INSTALL_PKGDIR}")
  # The check takes the folder as its argument, so it can be on the PATH.
  install(TARGETS terminal-serial-check RUNTIME DESTINATION bin)
  install(DIRECTORY "${TS_EXAMPLE_SOURCE}/" DESTINATION "${TS_INSTALL_EXAMPLEDIR}")

  # The setup command finds the package folders relative to its own place.
  file(RELATIVE_PATH TS_BIN_TO_PKGDIR /usr/bin "/usr/${TS_INSTALL_PKGDIR}")
  file(RELATIVE_PATH TS_BIN_TO_EXAMPLEDIR /usr/bin "/usr/${TS_INSTALL_EXAMPLEDIR}")
  configure_file(packaging/terminal-serial-setup.in terminal-serial-setup @ONLY)
  install(PROGRAMS "${PROJECT_BINARY_DIR}/terminal-serial-setup" DESTINATION bin)

  # Debian installs manual pages compressed.
  set(TS_MANUAL_PAGES terminal-serial terminal-serial-setup terminal-serial-check)
  set(TS_COMPRESSED_PAGES)
  foreach(page IN LISTS TS_MANUAL_PAGES)
    set(compressed "${PROJECT_BINARY_DIR}/man/${page}.1.gz")
    add_custom_command(
      OUTPUT "${compressed}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${PROJECT_BINARY_DIR}/man"
      COMMAND gzip -9 -n -c "${PROJECT_SOURCE_DIR}/man/${page}.1" > "${compressed}"
      DEPENDS "${PROJECT_SOURCE_DIR}/man/${page}.1"
      VERBATIM)
    list(APPEND TS_COMPRESSED_PAGES "${compressed}")
  endforeach()
  add_custom_target(ts_manual_pages ALL DEPENDS ${TS_COMPRESSED_PAGES})
  install(FILES ${TS_COMPRESSED_PAGES} DESTINATION share/man/man1)

  # Debian's policy: a machine-readable copyright file and, for a native
  # package, its changelog compressed beside it.
  configure_file(packaging/debian/copyright "${PROJECT_BINARY_DIR}/copyright" @ONLY)
  configure_file(packaging/debian/changelog "${PROJECT_BINARY_DIR}/changelog" @ONLY)
  set(TS_CHANGELOG_GZ "${PROJECT_BINARY_DIR}/changelog.gz")
  add_custom_command(
    OUTPUT "${TS_CHANGELOG_GZ}"
    COMMAND gzip -9 -n -c "${PROJECT_BINARY_DIR}/changelog" > "${TS_CHANGELOG_GZ}"
    DEPENDS "${PROJECT_BINARY_DIR}/changelog"
    VERBATIM)
  add_custom_target(ts_changelog ALL DEPENDS "${TS_CHANGELOG_GZ}")
  install(FILES "${PROJECT_BINARY_DIR}/copyright" "${TS_CHANGELOG_GZ}"
          DESTINATION "${TS_INSTALL_DOCDIR}")

  # The whole manual, so that the pages' links to each other hold where
  # it is installed.
  install(DIRECTORY docs/ DESTINATION "${TS_INSTALL_DOCDIR}" FILES_MATCHING PATTERN "*.md")
  install(PROGRAMS examples/caller.sh examples/caller.py
          DESTINATION "${TS_INSTALL_DOCDIR}/examples")
  install(FILES examples/caller.bat DESTINATION "${TS_INSTALL_DOCDIR}/examples")

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION comm)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends is computed from what the executable links. The window's
  # libraries are loaded only when a display is named, and without them a
  # run simply stays hidden, so they are recommended rather than required.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # libx11-xcb1 lets the window follow a frame its window manager reports late.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libx11-6, libxft2, libfontconfig1, libx11-xcb1")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
