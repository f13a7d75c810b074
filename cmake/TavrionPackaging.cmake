# Installation layout and Debian packages: `cmake --install` puts the
# programs in bin/ with their manual pages, the desktop entry, icons and
# AppStream metainfo of the client and the systemd unit of the service; `cpack -G DEB` makes the
# packages "tavrion" (client) and "tavrion-server" (service), their library
# dependencies found by dpkg-shlibdeps.
include(GNUInstallDirs)

set(TAVRION_DIST ${PROJECT_SOURCE_DIR}/dist)
set(TAVRION_DIST_BUILD ${PROJECT_BINARY_DIR}/dist)
set(TAVRION_APP_ID org.tavrion.Tavrion)

# A changelog in the packages' documentation, compressed as Debian wants it.
file(WRITE ${TAVRION_DIST_BUILD}/changelog
     "tavrion (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
     "  * Release ${PROJECT_VERSION}.\n\n"
     " -- Tavrion developers <dev@tavrion.org>  Tue, 08 Dec 2026 00:00:00 +0000\n")
execute_process(COMMAND gzip -9nc ${TAVRION_DIST_BUILD}/changelog
                OUTPUT_FILE ${TAVRION_DIST_BUILD}/changelog.gz)

# Manual pages, with the version filled in and compressed as Debian wants them.
foreach(page tavrion tavrion-server)
  configure_file(${TAVRION_DIST}/man/${page}.1 ${TAVRION_DIST_BUILD}/man/${page}.1 @ONLY)
  execute_process(COMMAND gzip -9nc ${TAVRION_DIST_BUILD}/man/${page}.1
                  OUTPUT_FILE ${TAVRION_DIST_BUILD}/man/${page}.1.gz)
endforeach()

install(TARGETS tavrion RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
install(FILES ${TAVRION_DIST_BUILD}/man/tavrion.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT client)
install(FILES ${TAVRION_DIST}/${TAVRION_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT client)
configure_file(${TAVRION_DIST}/${TAVRION_APP_ID}.metainfo.xml
               ${TAVRION_DIST_BUILD}/${TAVRION_APP_ID}.metainfo.xml @ONLY)
install(FILES ${TAVRION_DIST_BUILD}/${TAVRION_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT client)
install(DIRECTORY ${TAVRION_DIST}/icons/hicolor
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons COMPONENT client)
install(FILES ${TAVRION_DIST}/copyright ${TAVRION_DIST_BUILD}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tavrion COMPONENT client)

if(TARGET tavrion-server)
  install(TARGETS tavrion-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
  install(FILES ${TAVRION_DIST_BUILD}/man/tavrion-server.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT server)
  # The unit names the program by its installed path, known only when
  # installing (cpack installs under another prefix than the build's).
  install(CODE "
    set(TAVRION_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${TAVRION_DIST}/tavrion-server.service.in\"
                   \"${TAVRION_DIST_BUILD}/unit/tavrion-server.service\" @ONLY)"
    COMPONENT server)
  install(FILES ${TAVRION_DIST_BUILD}/unit/tavrion-server.service
          DESTINATION lib/systemd/system COMPONENT server)
  install(FILES ${TAVRION_DIST}/copyright ${TAVRION_DIST_BUILD}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tavrion-server COMPONENT server)
endif()

set(CPACK_PACKAGE_NAME tavrion)
set(CPACK_PACKAGE_VENDOR "The Tavrion developers")
set(CPACK_PACKAGE_CONTACT "Tavrion developers <dev@tavrion.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://tavrion.org/")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client)
if(TARGET tavrion-server)
  list(APPEND CPACK_COMPONENTS_ALL server)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME tavrion)
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION video)
set(CPACK_DEBIAN_CLIENT_PACKAGE_RECOMMENDS "fonts-noto-cjk")
# Qt loads OpenSSL only when a connection needs TLS, so the package tools do
# not see it: an https service address needs both.
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "libssl3 | libssl3t64, ca-certificates")
# One string each: the first line is the synopsis, the rest the long text.
string(CONCAT CPACK_COMPONENT_CLIENT_DESCRIPTION
  "video client for BitTorrent resources\n"
  "Tavrion lists the video files of a BitTorrent resource, named by its\n"
  "info-hash, a magnet link or a .torrent file, and plays or downloads them\n"
  "through its web service.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME tavrion-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
# The captcha font is found through fontconfig.
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser, fonts-dejavu-core")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${TAVRION_DIST}/server/postinst ${TAVRION_DIST}/server/prerm ${TAVRION_DIST}/server/postrm)
string(CONCAT CPACK_COMPONENT_SERVER_DESCRIPTION
  "web service for the Tavrion video client\n"
  "The reference service of the Tavrion client: accounts, resource file\n"
  "lists and video hosting. Installed as a systemd service that listens on\n"
  "the loopback address, with its state in /var/lib/tavrion-server.")

include(CPack)
