# The Debian package (`cpack -G DEB` in the build directory): the programs, stripped, and the
# documentation under /usr. It depends on what the programs link, found by dpkg-shlibdeps: the C
# library alone. GTK (setupstub's window) and libcurl (its runtime download) are loaded only on
# the roads that use them, so they are recommended, not required.
set(CPACK_PACKAGE_NAME "quillmark-launchers")
set(CPACK_PACKAGE_VERSION "0.1.0")
set(CPACK_PACKAGE_VENDOR "Quillmark")
set(CPACK_PACKAGE_CONTACT "Quillmark maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Native launchers for Java application bundles")
set(CPACK_PACKAGE_DESCRIPTION
    "appstub is the executable of a Java application bundle: it chooses a Java runtime and starts the application in it. setupstub is the executable of an installer bundle: it obtains a runtime and runs the installer in it.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libgtk-3-0, libcurl4")
set(CPACK_GENERATOR "DEB")
include(CPack)
