# The Linux service and its Debian package: `cpack -G DEB` in a build made
# with -DCMAKE_INSTALL_PREFIX=/usr (scripts/package-deb.sh does both). The
# unit names the programs by their installed path, so it is made for the
# prefix the build was configured with, and the package installs there too.
# Native builds only: the Windows programs have their zip
# (scripts/package-windows.sh).
if(WIN32 OR NOT TARGET vesprec OR NOT TARGET vreccfg OR NOT TARGET vesper-sim)
  return()
endif()

include(GNUInstallDirs)

install(TARGETS vesprec vreccfg vesper-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages, section 1, gzipped as Debian ships them (uncompressed when
# there is no gzip: man reads both).
find_program(VR_GZIP gzip)
set(VR_MAN_PAGES vesprec vreccfg vesper-sim)
set(VR_MAN_OUTPUTS "")
foreach(page ${VR_MAN_PAGES})
  set(VERSION ${PROJECT_VERSION})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/linux/man/${page}.1
                 ${PROJECT_BINARY_DIR}/man/${page}.1 @ONLY)
  if(VR_GZIP)
    add_custom_command(
      OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.1.gz
      COMMAND ${VR_GZIP} -9 -n -c ${PROJECT_BINARY_DIR}/man/${page}.1 > ${PROJECT_BINARY_DIR}/man/${page}.1.gz
      DEPENDS ${PROJECT_BINARY_DIR}/man/${page}.1
      VERBATIM)
    list(APPEND VR_MAN_OUTPUTS ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
  else()
    list(APPEND VR_MAN_OUTPUTS ${PROJECT_BINARY_DIR}/man/${page}.1)
  endif()
endforeach()
add_custom_target(vr_man_pages ALL DEPENDS ${VR_MAN_OUTPUTS})
install(FILES ${VR_MAN_OUTPUTS} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The systemd template unit: one instance per folder under /etc/vesprec.
configure_file(${PROJECT_SOURCE_DIR}/packaging/linux/vesprec@.service
               ${PROJECT_BINARY_DIR}/systemd/vesprec@.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/systemd/vesprec@.service DESTINATION lib/systemd/system)

install(FILES ${PROJECT_SOURCE_DIR}/examples/VESPREC.INI
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vesper-recorder/examples)

set(CPACK_PACKAGE_NAME vesper-recorder)
set(CPACK_PACKAGE_VENDOR "Vesper Recorder")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "collects the call records that telephone exchanges print on a serial line")
set(CPACK_PACKAGE_CONTACT "Vesper Recorder <vesprec@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# adduser: the postinst makes the service's user (useradd when it is gone).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Reads the call records an exchange prints on a serial line (directly, through a modem, a\nKestrel buffer box or TCP), normalises each line and appends it to data files for an\naccounting program. Runs as the systemd service vesprec@SITE, one per serial port,\nconfigured in /etc/vesprec/SITE/VESPREC.INI.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/linux/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/linux/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/linux/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
