# The Debian package: `cpack -G DEB` in the build folder makes qvwebserver_<version>_<arch>.deb from
# the install rules (cmake/Install.cmake), installing to /usr, with the programs stripped and the
# Depends line computed from the libraries they link (dpkg-shlibdeps, from dpkg-dev).
set(CPACK_PACKAGE_NAME qvwebserver)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The QvWebServer developers")
set(CPACK_PACKAGE_CONTACT "The QvWebServer developers <qvwebserver@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small local static-file web servers, from the tray or the command line")
set(CPACK_PACKAGE_DESCRIPTION
    "QvWebServer defines small web servers by name, group, port, folder and start page, and starts and\n"
    "stops them from a tray icon and a small window (qvwebserver) or the command line\n"
    "(qvwebserver-cli, which also serves a folder at once without storing anything).")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
