# The Debian package: `cpack -G DEB` in a build tree, or scripts/package.
include(GNUInstallDirs)

set(CALITUNE_MAINTAINER "Calitune developers <calitune@example.org>" CACHE STRING
    "Maintainer field of the Debian package: Name <address>")
# The Debian revision; packaging/changelog must start with an entry for
# PROJECT_VERSION-CALITUNE_DEB_RELEASE.
set(CALITUNE_DEB_RELEASE 1)

if(UNIX AND NOT APPLE)
  find_program(CALITUNE_GZIP gzip REQUIRED)
  set(packaging_out ${CMAKE_BINARY_DIR}/packaging)
  file(MAKE_DIRECTORY ${packaging_out})
  # Compressed at configure time, so that every install, whatever targets
  # were built, finds them; -n keeps names and times out for reproducible files.
  function(calitune_gzip source output)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    execute_process(COMMAND ${CALITUNE_GZIP} -9n -c ${source} OUTPUT_FILE ${output}
                    RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "gzip ${source}: ${failed}")
    endif()
  endfunction()

  set(man_pages calitune ui/calitune.1
                calitune-radio-sim sim/calitune-radio-sim.1
                calitune-cli cli/calitune-cli.1)
  while(man_pages)
    list(POP_FRONT man_pages program source)
    if(TARGET ${program})
      calitune_gzip(${CMAKE_SOURCE_DIR}/${source} ${packaging_out}/${program}.1.gz)
      install(FILES ${packaging_out}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
  endwhile()

  set(changelog ${CMAKE_SOURCE_DIR}/packaging/changelog)
  file(STRINGS ${changelog} changelog_top LIMIT_COUNT 1)
  if(NOT changelog_top MATCHES "^calitune \\(${PROJECT_VERSION}-${CALITUNE_DEB_RELEASE}\\) ")
    message(WARNING "packaging/changelog does not start with an entry for "
                    "${PROJECT_VERSION}-${CALITUNE_DEB_RELEASE}")
  endif()
  calitune_gzip(${changelog} ${packaging_out}/changelog.Debian.gz)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${packaging_out}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/calitune)
endif()

set(CPACK_PACKAGE_NAME calitune)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Calitune developers")
set(CPACK_PACKAGE_CONTACT "${CALITUNE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CALITUNE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CALITUNE_DEB_RELEASE})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "service tool for the transmit-power calibration of UHF radios")
set(CPACK_PACKAGE_DESCRIPTION "\
Reads the transmit-power calibration of a UHF two-way radio over a serial
programming cable, lets a technician edit it in a window and writes it back.")
if(TARGET calitune-cli)
  string(APPEND CPACK_PACKAGE_DESCRIPTION "
calitune-cli does the same from the command line, keeps a history of every
block read or written, and backs up and restores the whole block.")
endif()
string(APPEND CPACK_PACKAGE_DESCRIPTION "
Also ships calitune-radio-sim, a simulated radio on a pseudo-terminal.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps adds the Qt libraries; the platform plugin, Qt's translations,
# the SQLite driver of Qt SQL and a font for the Chinese captions are loaded at
# run time, so no linked library names them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-translations-l10n, libqt6sql6-sqlite, \
fonts-wqy-microhei | fonts-noto-cjk")
include(CPack)
