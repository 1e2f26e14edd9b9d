# The Debian package of the program, made by `cpack` from a build tree:
# scripts/package makes it from a Release tree, the package test from the
# tree it is built in. It holds what the install rules of the component
# "program" install, and nothing else.

set(TARVIK_PACKAGE_MAINTAINER "Tarvik Downloader maintainers <maintainers@tarvik-downloader.invalid>"
    CACHE STRING "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvik-downloader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tarvik Downloader")
set(CPACK_PACKAGE_CONTACT "${TARVIK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "flash firmware to a device over an RS-232 serial port")
# Lines of the long description, as Debian wants them: under 80 characters.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Tarvik Downloader reprograms devices over a serial link, device after"
    "device: it finds the rate the device speaks at, sends it a firmware text"
    "file (usually Intel HEX records) and tells whether the device took it."
    "It also reads the version byte of the device's microcontroller.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};program;/")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARVIK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# dpkg-shlibdeps writes Depends from the libraries the program links to.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A cross build's package is for the system it was built for, in dpkg's name
# for it (arm64 for aarch64-linux-gnu), not for the machine that made it.
if(CMAKE_CROSSCOMPILING)
    execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -q DEB_HOST_ARCH
                    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
                    COMMAND_ERROR_IS_FATAL ANY)
endif()

include(CPack)
