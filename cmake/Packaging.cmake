# The Debian package: `cpack -G DEB` in a build tree, or scripts/package.
include(GNUInstallDirs)

# Every program the build defines, tests and benchmarks apart, is shipped.
# The target `programs` builds them all; packaging/programs lists them for
# the package test, which checks the package against that list.
function(calitune_programs_below dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  set(found)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      list(APPEND found ${target})
    endif()
  endforeach()
  foreach(subdir IN LISTS subdirs)
    if(NOT subdir MATCHES "^${CMAKE_SOURCE_DIR}/(tests|bench)(/|$)")
      calitune_programs_below(${subdir} below)
      list(APPEND found ${below})
    endif()
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()
calitune_programs_below(${CMAKE_SOURCE_DIR} CALITUNE_PROGRAMS)
add_custom_target(programs)
add_dependencies(programs ${CALITUNE_PROGRAMS})

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

  string(REPLACE ";" "\n" programs_text "${CALITUNE_PROGRAMS}")
  file(CONFIGURE OUTPUT ${packaging_out}/programs CONTENT "${programs_text}\n" @ONLY)

  # Each program's manual page is <program>.1 in its source folder.
  foreach(program IN LISTS CALITUNE_PROGRAMS)
    get_target_property(folder ${program} SOURCE_DIR)
    if(NOT EXISTS ${folder}/${program}.1)
      message(FATAL_ERROR "${program} has no manual page ${folder}/${program}.1")
    endif()
    calitune_gzip(${folder}/${program}.1 ${packaging_out}/${program}.1.gz)
    install(FILES ${packaging_out}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()

  # What dh_strip also drops: the compiler's version notes in .comment, which
  # CMake's strip leaves (CPACK_STRIP_FILES, cmake --install --strip). The
  # programs' own install rules, in their folders, have run by now.
  set(program_files)
  foreach(program IN LISTS CALITUNE_PROGRAMS)
    list(APPEND program_files "$<TARGET_FILE_NAME:${program}>")
  endforeach()
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(program ${program_files})
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
          COMMAND_ERROR_IS_FATAL ANY)
      endforeach()
    endif()")

  set(changelog ${CMAKE_SOURCE_DIR}/packaging/changelog)
  file(STRINGS ${changelog} changelog_top LIMIT_COUNT 1)
  if(NOT changelog_top MATCHES "^calitune \\(${PROJECT_VERSION}-${CALITUNE_DEB_RELEASE}\\) ")
    message(WARNING "packaging/changelog does not start with an entry for "
                    "${PROJECT_VERSION}-${CALITUNE_DEB_RELEASE}")
  endif()
  calitune_gzip(${changelog} ${packaging_out}/changelog.Debian.gz)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${packaging_out}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/calitune)
  # What `calitune-cli server-sql` prints; tst_serverhistory keeps the two alike.
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/calitune-server.sql DESTINATION ${CMAKE_INSTALL_DATADIR}/calitune)
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
programming cable, lets a technician edit it in a window and writes it back.
calitune-cli does the same from the command line, keeps a history of every
block read or written, and backs up and restores the whole block.
Also ships calitune-radio-sim, a simulated radio on a pseudo-terminal.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps adds the Qt libraries; the platform plugin, Qt's translations,
# the SQLite driver of Qt SQL and a font for the Chinese captions are loaded at
# run time, so no linked library names them. The PostgreSQL driver is needed
# only for a history kept on a server.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-translations-l10n, libqt6sql6-sqlite, \
fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt6sql6-psql")
include(CPack)
