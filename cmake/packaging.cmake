# The Debian package (cpack -G DEB in the build folder): the library and its header, the
# command-line host, the service with its unit, udev rule and example configuration.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kalvix3)
set(CPACK_PACKAGE_VENDOR "Kalvix3 developers")
set(CPACK_PACKAGE_CONTACT "Kalvix3 developers <dev@kalvix3.local>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Caller-ID adapters and ISDN terminal adapters: library, command-line host and service")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds the package's own library in the staging tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Kalvix3 reads Japanese caller-ID adapters and ISDN terminal adapters on serial ports and\n\
USB. The package holds libkalvix3 and its header, the kalvix3 command-line host, and the\n\
kalvix3d service (systemd unit, udev rule for ModemManager, example configuration in\n\
/usr/share/doc/kalvix3d).")
include(CPack)
