# What `cmake --install` puts where Debian expects it, and the .deb that CPack makes of it.
# The programs install themselves (app/, cli/).

if(NOT HOSTMOOR_ENGINE_ONLY)
  install(FILES data/${HOSTMOOR_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES data/${HOSTMOOR_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  install(FILES data/icons/hostmoor.svg RENAME ${HOSTMOOR_ID}.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  foreach(size 16 22 24 32 48 64 128 256)
    install(FILES data/icons/${size}x${size}/${HOSTMOOR_ID}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
  set(HOSTMOOR_MAN_PAGES hostmoor hostmoor-rdns)
else()
  set(HOSTMOOR_MAN_PAGES hostmoor-rdns)
endif()

# Man pages go in compressed, as Debian keeps them.
find_program(GZIP gzip REQUIRED)
foreach(page ${HOSTMOOR_MAN_PAGES})
  set(gz ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${GZIP} -9nc ${PROJECT_SOURCE_DIR}/docs/man/${page}.1 > ${gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${page}.1 VERBATIM)
  list(APPEND HOSTMOOR_MAN_GZ ${gz})
endforeach()
add_custom_target(hostmoor_man ALL DEPENDS ${HOSTMOOR_MAN_GZ})
install(FILES ${HOSTMOOR_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hostmoor)
set(CPACK_PACKAGE_VENDOR Brightfold)
set(CPACK_PACKAGE_CONTACT "Brightfold <hostmoor@brightfold.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "look up Internet hosts and rewrite logs with host names")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
Hostmoor looks up host names, dotted IPv4 addresses and address ranges through\n\
the system's resolver, and rewrites text files such as web-server logs into\n\
.rdns copies with every dotted IPv4 address replaced by its reverse-DNS name.\n\
.\n\
The package holds the desktop program, hostmoor, and the command-line rewriter,\n\
hostmoor-rdns, which also filters standard input to standard output.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://www.brightfold.example/)
# The libraries the programs link are found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-liberation)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
