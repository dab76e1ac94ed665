# The Debian package: cmake --build BUILD --target package makes kq7300_VERSION_ARCH.deb.
# Configure with -DCMAKE_INSTALL_PREFIX=/usr (scripts/package-check.sh does).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kq7300)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The build's own install rules decide every path, including the udev rule's absolute one.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_KQ_STRIP ${CMAKE_STRIP})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/CPackStripNotes.cmake)
set(CPACK_PACKAGE_CONTACT "${KQ_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KQ_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(KQ_BUILD_GUI)
  # Qt loads the window system's plugin at run time, so shlibdeps cannot see it.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
  # The framework's Chinese texts, and a font with the Chinese glyphs the pages use.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n, fonts-wqy-microhei")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qt6-wayland")
endif()
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "control tool for the KQ7300 light engine
The KQ7300 is the USB light engine of a resin 3D printer. kq7300tool, a
window in English or Simplified Chinese, and kq7300ctl, its command-line
counterpart, switch the engine's power and LED, read and set the LED
current, mirror the projected image and upgrade the engine's firmware.
kq7300ctl also lists the engines present and follows their arrival and
removal, with JSON output for scripts.

A udev rule lets the user at the machine's seat, and the members of the
plugdev group on headless hosts, open the engine.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/dist/debian/postinst ${PROJECT_SOURCE_DIR}/dist/debian/postrm
    ${KQ_CONFFILES})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# A package made for another prefix would put the udev rule under /etc and the programs
# elsewhere than the man pages say; refuse it when the package is made.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "
if(CPACK_GENERATOR STREQUAL \"DEB\" AND NOT \"${CMAKE_INSTALL_PREFIX}\" STREQUAL \"/usr\")
  message(FATAL_ERROR \"The package needs a build configured with -DCMAKE_INSTALL_PREFIX=/usr \"
                      \"(this one has ${CMAKE_INSTALL_PREFIX})\")
endif()
if(CPACK_GENERATOR STREQUAL \"DEB\" AND NOT \"${KQ_SYSTEM_CONFIG}\" MATCHES \"^/etc/\")
  message(FATAL_ERROR \"The package keeps its settings under /etc: configure with \"
                      \"-DKQ_SYSTEM_CONFIG=/etc/kq7300/Config.ini (this build has \"
                      \"'${KQ_SYSTEM_CONFIG}')\")
endif()
")

include(CPack)
