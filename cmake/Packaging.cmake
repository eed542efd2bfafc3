# The Debian package: `cpack -G DEB` in a build tree, or scripts/package.
set(CPACK_PACKAGE_NAME calitune)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Calitune developers")
set(CPACK_PACKAGE_CONTACT "Calitune developers <dev@calitune.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service tool for the transmit-power calibration of UHF radios")
set(CPACK_PACKAGE_DESCRIPTION "Reads the transmit-power calibration of a UHF two-way radio over a serial
programming cable, lets a technician edit it in a grid and writes it back.
Also ships calitune-radio-sim, a simulated radio on a pseudo-terminal.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps adds the Qt libraries; the platform plugin and a font for the
# Chinese captions are loaded at run time, so no linked library names them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-wqy-microhei | fonts-noto-cjk")
include(CPack)
