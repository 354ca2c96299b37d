# The Linux service and its Debian package: `cpack -G DEB` in any native
# build (scripts/package-deb.sh builds one in Release for it). A Debian
# package belongs in /usr whatever prefix the build was configured with, so
# cpack always installs there; `cmake --install` keeps the build's prefix.
# The unit names the programs by their installed path, so it is made when it
# is installed, for the prefix it is installed under. Native builds only:
# the Windows programs have their zip (scripts/package-windows.sh).
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
install(CODE "
  set(CMAKE_INSTALL_FULL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/linux/vesprec@.service\"
                 \"${PROJECT_BINARY_DIR}/systemd/vesprec@.service\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/systemd/vesprec@.service DESTINATION lib/systemd/system)

set(VR_PACKAGE_DOC ${CMAKE_INSTALL_DATAROOTDIR}/doc/vesper-recorder)
install(FILES ${PROJECT_SOURCE_DIR}/examples/VESPREC.INI DESTINATION ${VR_PACKAGE_DOC}/examples)

# What Debian asks of every package: the copyright file (machine-readable
# format) and the changelog, gzipped without a timestamp so that two builds
# give the same bytes. The version has no Debian revision (the packaging is
# the project's own), which makes it a native package: its changelog is
# changelog.gz, not changelog.Debian.gz. Made here, when the build is
# configured, so that cpack finds it whatever targets were built.
configure_file(${PROJECT_SOURCE_DIR}/packaging/linux/debian/changelog
               ${PROJECT_BINARY_DIR}/doc/changelog COPYONLY)
if(VR_GZIP)
  execute_process(COMMAND ${VR_GZIP} -9 -n -c ${PROJECT_BINARY_DIR}/doc/changelog
                  OUTPUT_FILE ${PROJECT_BINARY_DIR}/doc/changelog.gz
                  RESULT_VARIABLE vr_gzip_result)
  if(NOT vr_gzip_result EQUAL 0)
    message(FATAL_ERROR "gzip of the package's changelog failed: ${vr_gzip_result}")
  endif()
  set(VR_CHANGELOG ${PROJECT_BINARY_DIR}/doc/changelog.gz)
else()
  set(VR_CHANGELOG ${PROJECT_BINARY_DIR}/doc/changelog)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/debian/copyright ${VR_CHANGELOG}
        DESTINATION ${VR_PACKAGE_DOC})

# A lintian warning that the package means to keep goes into
# packaging/linux/debian/lintian-overrides, with a comment above it saying
# why (ctest -L package refuses any other warning). There is none today.
if(EXISTS ${PROJECT_SOURCE_DIR}/packaging/linux/debian/lintian-overrides)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/debian/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
          RENAME vesper-recorder)
endif()

# logrotate reads /etc/logrotate.d only, whatever the prefix; the package
# marks the rule a configuration file (debian/conffiles), so an edited one
# survives upgrades.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/vesper-recorder.logrotate
        DESTINATION /etc/logrotate.d RENAME vesper-recorder)

# Who answers for the package. The project has no mail domain of its own:
# the default is a placeholder under .invalid (RFC 2606), which no mail
# system will ever try to deliver to and which lintian accepts. A
# distributor sets their own with -DVR_DEB_MAINTAINER="Name <address>".
set(VR_DEB_MAINTAINER "Vesper Recorder <vesprec@vesper-recorder.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME vesper-recorder)
set(CPACK_PACKAGE_VENDOR "Vesper Recorder")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "collects the call records that telephone exchanges print on a serial line")
set(CPACK_PACKAGE_CONTACT "${VR_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
# Depends from the shared libraries the programs link (dpkg-shlibdeps, from
# dpkg-dev): libc6, libgcc-s1 and libstdc++6 with their minimum versions.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# adduser: the postinst makes the service's user (useradd when it is gone).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
# Debian's description lines are at most 80 characters.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Reads the call records an exchange prints on a serial line (directly,
through a modem, a Kestrel buffer box or TCP), normalises each line and
appends it to data files for an accounting program. Runs as the systemd
service vesprec@SITE, one per serial port, configured in
/etc/vesprec/SITE/VESPREC.INI.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/linux/debian/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/linux/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/linux/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/linux/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
