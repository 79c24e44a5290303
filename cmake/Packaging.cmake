# Installing and packaging pondard, included at the end of the top CMakeLists.txt.
#
#   cmake -S . -B build/pkg -DCMAKE_BUILD_TYPE=Release -DPONDAR_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
#   cmake --build build/pkg && cmake --install build/pkg --strip   (or: cd build/pkg && cpack -G DEB)
#
# A Debian package must install under /usr, so the package takes the configured prefix: configure
# with -DCMAKE_INSTALL_PREFIX=/usr before running cpack.

include(GNUInstallDirs)

# The one place the version is kept is project(); --version and the manual page take it from there.

set(PONDAR_DEB_MAINTAINER "Pondar Desktop developers <pondar@example.org>" CACHE STRING
    "Maintainer field of the Debian package: name <address>")

set(PONDAR_PACKAGING_DIR ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
set(PONDAR_PACKAGING_OUT ${CMAKE_CURRENT_BINARY_DIR}/packaging)

install(TARGETS pondard RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The window's program, which pondard starts in its own place: out of PATH, where pondard looks.
cmake_path(ABSOLUTE_PATH PONDAR_DESKTOP_PROGRAM BASE_DIRECTORY ${CMAKE_INSTALL_BINDIR}
           NORMALIZE OUTPUT_VARIABLE PONDAR_DESKTOP_INSTALL)
cmake_path(GET PONDAR_DESKTOP_INSTALL PARENT_PATH PONDAR_DESKTOP_INSTALL_DIR)
install(TARGETS pondard-desktop RUNTIME DESTINATION ${PONDAR_DESKTOP_INSTALL_DIR})
install(FILES ${PONDAR_PACKAGING_DIR}/pondard.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PONDAR_PACKAGING_DIR}/icons/pondard.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size IN ITEMS 16 24 32 48 64 128 256)
  install(FILES ${PONDAR_PACKAGING_DIR}/icons/pondard-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME pondard.png)
endforeach()

# The unit names the program by its installed path; user units live in <prefix>/lib/systemd/user
# whatever the architecture, so not under CMAKE_INSTALL_LIBDIR.
configure_file(${PONDAR_PACKAGING_DIR}/pondard.service.in ${PONDAR_PACKAGING_OUT}/pondard.service
               @ONLY)
install(FILES ${PONDAR_PACKAGING_OUT}/pondard.service DESTINATION lib/systemd/user)

# The manual page and the changelog are installed compressed, as Debian's policy has them;
# -n leaves the build's time out, so the same sources give the same bytes.
configure_file(${PONDAR_PACKAGING_DIR}/pondard.1.in ${PONDAR_PACKAGING_OUT}/pondard.1 @ONLY)
configure_file(${PONDAR_PACKAGING_DIR}/changelog.in ${PONDAR_PACKAGING_OUT}/changelog @ONLY)
add_custom_command(
  OUTPUT ${PONDAR_PACKAGING_OUT}/pondard.1.gz ${PONDAR_PACKAGING_OUT}/changelog.gz
  COMMAND gzip -9 -n -k -f pondard.1 changelog
  WORKING_DIRECTORY ${PONDAR_PACKAGING_OUT}
  DEPENDS ${PONDAR_PACKAGING_OUT}/pondard.1 ${PONDAR_PACKAGING_OUT}/changelog
  VERBATIM)
add_custom_target(pondard_docs ALL
  DEPENDS ${PONDAR_PACKAGING_OUT}/pondard.1.gz ${PONDAR_PACKAGING_OUT}/changelog.gz)
install(FILES ${PONDAR_PACKAGING_OUT}/pondard.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PONDAR_PACKAGING_DIR}/copyright ${PONDAR_PACKAGING_OUT}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/pondard)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pondard)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Pondar Desktop developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps a shared folder in step across a local network")
# Lines of at most 79 characters once indented, as Debian's tools show them.
set(CPACK_PACKAGE_DESCRIPTION
    "Pondar Desktop keeps one shared folder in step between the machines of a
small local network. Every machine that runs it is an equal peer: there is
no server and no account. Peers find each other by UDP broadcast (port 7731)
and fetch each other's new and changed files over TCP (port 7732). They may
also share clipboard text and show each other their screens.

The package holds the program with its window, a menu entry that shares
~/Pondar, a systemd user unit that runs it without a window, and its manual
page.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PONDAR_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Libraries linked in are found by dpkg-shlibdeps; Qt's X11 platform plugin and PipeWire's client
# modules (the protocol, the stream's node) are loaded at run time, so they are named here. A
# Wayland desktop shares its screen through the portal and the PipeWire daemon of the session.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libpipewire-0.3-modules")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-desktop-portal, pipewire")
include(CPack)
