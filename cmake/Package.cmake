# cpack -G DEB in the build tree: kestrel_VERSION_ARCH.deb with its dependencies from
# dpkg-shlibdeps, stripped programs and root-owned files.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The kestrel developers")
set(CPACK_PACKAGE_CONTACT "${KESTREL_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "maintenance tool for a network streaming device")
if(TARGET kestrelctl)
  set(KESTREL_DESCRIPTION_PROGRAMS "The package holds the kestrel window, its command line kestrelctl for
scripts and production lines, and kestrel-devsim, a simulated device to
try both against.")
else()
  set(KESTREL_DESCRIPTION_PROGRAMS "The package holds the kestrel window and kestrel-devsim, a simulated
device to try it against.")
endif()
set(CPACK_PACKAGE_DESCRIPTION
  "kestrel connects to a network streaming device over UDP, shows and
changes its MAC address, IP address, port, TS port and multicast setting,
dumps its 4 MiB SPI flash to a file, programs the flash from an update
image, verifies an image against the last dump and resets the device.
.
${KESTREL_DESCRIPTION_PROGRAMS}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${KESTREL_HOMEPAGE}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KESTREL_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
