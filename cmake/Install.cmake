# What `cmake --install` lays out, and the Debian package (`cpack -G DEB`)
# made from it: the two servers and the two tools, example configurations as
# conffiles, and a systemd unit per server. Paths inside the units and the
# configurations follow the prefix given at install time (`--prefix`); with the
# prefix /usr (the package's) configurations go to /etc/corvane.
include(GNUInstallDirs)

install(TARGETS corvane-sfu-server corvane-mfu-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(tool corvane-gateway corvane-client)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# How long log files are kept after their last line (systemd-tmpfiles age).
set(CORVANE_LOG_RETENTION "14d" CACHE STRING "Age after which systemd-tmpfiles removes log files")

set(CORVANE_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CORVANE_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
set(CORVANE_INSTALL_DOCDIR ${CMAKE_INSTALL_DOCDIR})
configure_file(${PROJECT_SOURCE_DIR}/cmake/InstallServerFiles.cmake.in
               ${PROJECT_BINARY_DIR}/packaging/InstallServerFiles.cmake @ONLY)
install(SCRIPT ${PROJECT_BINARY_DIR}/packaging/InstallServerFiles.cmake)

# The package installs under /usr, so its conffiles are under /etc/corvane.
file(WRITE ${PROJECT_BINARY_DIR}/packaging/conffiles
     "/etc/corvane/corvane-sfu-server.conf\n/etc/corvane/corvane-mfu-server.conf\n"
     "/etc/corvane/corvane-rules.yml\n")

set(CPACK_PACKAGE_NAME corvane-media)
set(CPACK_PACKAGE_VENDOR corvane)
set(CPACK_PACKAGE_CONTACT "corvane media tier <media@corvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "corvane voice media servers: forwarding and mixing")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Runtime libraries (libisal2, libstdc++, libc) found from the binaries themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
