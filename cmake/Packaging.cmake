# The install rules and the Debian package.
#
#   cmake --build BUILD --target quorvane quorvane-station quorvane-cli quorvane-emu \
#                                quorvane_package_data
#   cpack --config BUILD/CPackConfig.cmake -B BUILD/package   # quorvane_<version>-1_<arch>.deb
#
# scripts/package-test.sh does this with Debian's build flags, then validates
# and tries the package. Data files live in packaging/; icons in PNG sizes,
# compressed manual pages and the screenshot are made at build time.

# The programs below run on POSIX only; sanitized and fuzz builds are never
# installed.
if(WIN32 OR QUORVANE_SANITIZE OR QUORVANE_FUZZ)
  return()
endif()

include(GNUInstallDirs)
set(QUORVANE_HOMEPAGE_URL "https://quorvane.example.org" CACHE STRING
    "Web address of the project; the AppStream screenshot is <url>/screenshots/control_panel.png")
set(QUORVANE_PACKAGE_MAINTAINER "Quorvane maintainers <maintainers@quorvane.invalid>" CACHE STRING
    "Maintainer field of the Debian package")

set(QUORVANE_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(QUORVANE_PACKAGE_OUT ${CMAKE_BINARY_DIR}/packaging)
# Debian's documentation directory is named after the package.
set(QUORVANE_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorvane)
set(QUORVANE_GENERATED)

# ---- programs ----------------------------------------------------------------
set(QUORVANE_PROGRAMS quorvane-cli quorvane-emu)
foreach(program quorvane-station quorvane)
  if(TARGET ${program})
    list(PREPEND QUORVANE_PROGRAMS ${program})
  endif()
endforeach()
install(TARGETS ${QUORVANE_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# ---- manual pages and Debian documentation, gzip -9n as Debian wants them ----
find_program(QUORVANE_GZIP gzip)
# quorvane_gzip(SOURCE TARGET DESTINATION [COPYONLY]): SOURCE configured to
# TARGET in the build tree, then installed compressed.
function(quorvane_gzip source target destination)
  set(out ${QUORVANE_PACKAGE_OUT}/${target})
  configure_file(${source} ${out} @ONLY ${ARGN})
  add_custom_command(OUTPUT ${out}.gz
    COMMAND ${QUORVANE_GZIP} -9nkf ${out}
    DEPENDS ${out} VERBATIM)
  set(QUORVANE_GENERATED ${QUORVANE_GENERATED} ${out}.gz PARENT_SCOPE)
  install(FILES ${out}.gz DESTINATION ${destination})
endfunction()

# The pages of the programs quorvane-docgen knows: its prose from the
# template, its reference sections from the program's option table.
set(QUORVANE_DOCGEN_PROGRAMS quorvane-cli quorvane-emu)
if(QUORVANE_GZIP)
  foreach(program ${QUORVANE_PROGRAMS})
    set(page ${QUORVANE_PACKAGE_OUT}/man/${program}.1)
    set(template ${QUORVANE_PACKAGING_DIR}/man/${program}.1.in)
    if(program IN_LIST QUORVANE_DOCGEN_PROGRAMS)
      add_custom_command(OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${QUORVANE_PACKAGE_OUT}/man
        COMMAND quorvane-docgen man ${program} ${template} ${page}
        DEPENDS quorvane-docgen ${template} VERBATIM)
    else()
      configure_file(${template} ${page} @ONLY)
    endif()
    add_custom_command(OUTPUT ${page}.gz COMMAND ${QUORVANE_GZIP} -9nkf ${page} DEPENDS ${page}
                       VERBATIM)
    list(APPEND QUORVANE_GENERATED ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  quorvane_gzip(${QUORVANE_PACKAGING_DIR}/changelog changelog.Debian ${QUORVANE_DOC_DIR})
else()
  message(WARNING "gzip not found: no manual pages or changelog are installed")
endif()
install(FILES ${QUORVANE_PACKAGING_DIR}/copyright DESTINATION ${QUORVANE_DOC_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${QUORVANE_DOC_DIR})
# Every document the README links to, so that its links work where it is
# installed.
install(FILES ${PROJECT_SOURCE_DIR}/docs/cli.md ${PROJECT_SOURCE_DIR}/docs/emulator.md
              ${PROJECT_SOURCE_DIR}/docs/serial.md ${PROJECT_SOURCE_DIR}/docs/architecture.md
              ${PROJECT_SOURCE_DIR}/docs/testing.md
        DESTINATION ${QUORVANE_DOC_DIR}/docs)
# A completion file per program, made from its option table, named after
# it: bash-completion loads a command's completion from the file of its name.
foreach(program ${QUORVANE_DOCGEN_PROGRAMS})
  set(completion ${QUORVANE_PACKAGE_OUT}/completions/${program})
  add_custom_command(OUTPUT ${completion}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QUORVANE_PACKAGE_OUT}/completions
    COMMAND quorvane-docgen completion ${program} ${completion}
    DEPENDS quorvane-docgen VERBATIM)
  list(APPEND QUORVANE_GENERATED ${completion})
  install(FILES ${completion} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endforeach()

# ---- the udev rule for USB serial adapters ---------------------------------------
# Under /usr/lib (not the multiarch library folder), numbered before the seat
# rules (73-seat-late.rules) that turn its uaccess tag into an ACL. The
# package's maintainer scripts have udev read its rules again.
install(FILES ${QUORVANE_PACKAGING_DIR}/udev/70-quorvane-serial.rules
        DESTINATION lib/udev/rules.d)

# ---- desktop entry, icons, AppStream metadata, screenshot ----------------------
if(TARGET quorvane)
  # Named by the reverse-DNS id the AppStream metadata uses.
  install(FILES ${QUORVANE_PACKAGING_DIR}/org.quorvane.Quorvane.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  configure_file(${QUORVANE_PACKAGING_DIR}/org.quorvane.Quorvane.metainfo.xml.in
                 ${QUORVANE_PACKAGE_OUT}/org.quorvane.Quorvane.metainfo.xml @ONLY)
  install(FILES ${QUORVANE_PACKAGE_OUT}/org.quorvane.Quorvane.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  # The station window has a launcher and a component of its own, with the
  # same icon.
  if(TARGET quorvane-station)
    install(FILES ${QUORVANE_PACKAGING_DIR}/org.quorvane.Station.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    configure_file(${QUORVANE_PACKAGING_DIR}/org.quorvane.Station.metainfo.xml.in
                   ${QUORVANE_PACKAGE_OUT}/org.quorvane.Station.metainfo.xml @ONLY)
    install(FILES ${QUORVANE_PACKAGE_OUT}/org.quorvane.Station.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
    # The README's pictures of a full station (quorvane-render's "station"
    # and "station_16", reduced to 64 colours).
    install(FILES ${PROJECT_SOURCE_DIR}/docs/station.png ${PROJECT_SOURCE_DIR}/docs/station_16.png
            DESTINATION ${QUORVANE_DOC_DIR}/docs)
  endif()

  set(icons ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
  set(svg ${QUORVANE_PACKAGING_DIR}/quorvane.svg)
  install(FILES ${svg} DESTINATION ${icons}/scalable/apps)
  find_program(QUORVANE_RSVG_CONVERT rsvg-convert)
  if(QUORVANE_RSVG_CONVERT)
    foreach(size 16 22 24 32 48 64 128 256)
      set(png ${QUORVANE_PACKAGE_OUT}/icons/${size}x${size}/quorvane.png)
      add_custom_command(OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${QUORVANE_PACKAGE_OUT}/icons/${size}x${size}
        COMMAND ${QUORVANE_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${svg}
        DEPENDS ${svg} VERBATIM)
      list(APPEND QUORVANE_GENERATED ${png})
      install(FILES ${png} DESTINATION ${icons}/${size}x${size}/apps)
    endforeach()
  else()
    message(WARNING "rsvg-convert (librsvg2-bin) not found: only the SVG icon is installed")
  endif()

  # The control panel as the program shows it: the README's picture, and
  # the AppStream screenshot once published under QUORVANE_HOMEPAGE_URL.
  if(TARGET quorvane-render)
    set(shot ${QUORVANE_PACKAGE_OUT}/screenshots/control_panel.png)
    add_custom_command(OUTPUT ${shot}
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
              $<TARGET_FILE:quorvane-render> ${QUORVANE_PACKAGE_OUT}/screenshots control_panel
      DEPENDS quorvane-render VERBATIM)
    list(APPEND QUORVANE_GENERATED ${shot})
    install(FILES ${shot} DESTINATION ${QUORVANE_DOC_DIR}/docs)
  endif()
endif()

add_custom_target(quorvane_package_data ALL DEPENDS ${QUORVANE_GENERATED})

# ---- Debian package -------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VENDOR "The Quorvane developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUORVANE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${QUORVANE_HOMEPAGE_URL}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${QUORVANE_PACKAGING_DIR}/udev/postinst ${QUORVANE_PACKAGING_DIR}/udev/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "service tool for digital satellite receivers
Quorvane services digital satellite receivers through their RS-232 service
port: it tests the link, reads the receiver's whole flash into a ROM image
file, writes an image back (refusing one taken from a receiver of another
type) and drives the receiver with remote-control keys.

The package holds the Qt desktop program quorvane, the station window
quorvane-station, which upgrades or reads many receivers at once with one
slot per serial port, the command-line tool quorvane-cli, which runs every
job from scripts and on several receivers at once, and quorvane-emu, which
emulates a receiver on a pseudo-terminal.")
include(CPack)
