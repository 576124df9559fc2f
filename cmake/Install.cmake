# What `cmake --install` lays out, and the Debian package (`cpack -G DEB`)
# made from it: the two servers and the two tools, example configurations as
# conffiles, and a systemd unit per server. Paths inside the units and the
# configurations follow the prefix given at install time (`--prefix`); with the
# prefix /usr (the package's) configurations go to /etc/corvane.
include(GNUInstallDirs)

set(CORVANE_PACKAGE_NAME corvane-media)
# Debian keeps a package's documents, copyright and changelog under its own name.
set(CORVANE_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CORVANE_PACKAGE_NAME})

install(TARGETS corvane-sfu-server corvane-mfu-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(tool corvane-gateway corvane-client)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CORVANE_DOCDIR})

# The changelog and the manual pages, compressed as Debian wants them (gzip -9n:
# no name or time stamp, so that two builds give the same bytes). The pages are
# made from packaging/man/*.1.txt; the tools' pages take in their --help text.
find_program(CORVANE_BUILD_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
set(changelog ${PROJECT_SOURCE_DIR}/packaging/changelog)
file(STRINGS ${changelog} changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^${CORVANE_PACKAGE_NAME} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: the newest entry is not version ${PROJECT_VERSION}")
endif()
set(man_dir ${PROJECT_BINARY_DIR}/packaging/man)
set(man_pages)
foreach(program corvane-sfu-server corvane-mfu-server corvane-gateway corvane-client)
  if(NOT TARGET ${program})
    continue()
  endif()
  set(source ${PROJECT_SOURCE_DIR}/packaging/man/${program}.1.txt)
  set(help_of)
  file(STRINGS ${source} uses_help REGEX "^@help$")
  if(uses_help)
    set(help_of --help-of $<TARGET_FILE:${program}> DEPENDS ${program})
  endif()
  add_custom_command(
    OUTPUT ${man_dir}/${program}.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
    COMMAND ${CORVANE_BUILD_PYTHON} ${PROJECT_SOURCE_DIR}/packaging/man/mkman.py ${source}
            ${man_dir}/${program}.1.gz --version ${PROJECT_VERSION} --changelog ${changelog}
            ${help_of}
    DEPENDS ${source} ${PROJECT_SOURCE_DIR}/packaging/man/mkman.py ${changelog}
    COMMENT "Manual page ${program}(1)")
  list(APPEND man_pages ${man_dir}/${program}.1.gz)
endforeach()
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9n -c ${changelog} > ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${changelog})
add_custom_target(corvane-docs ALL DEPENDS ${man_pages} ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz DESTINATION ${CORVANE_DOCDIR})

# How long log files are kept after their last line (systemd-tmpfiles age).
set(CORVANE_LOG_RETENTION "14d" CACHE STRING "Age after which systemd-tmpfiles removes log files")

set(CORVANE_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CORVANE_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
set(CORVANE_INSTALL_DOCDIR ${CORVANE_DOCDIR})
configure_file(${PROJECT_SOURCE_DIR}/cmake/InstallServerFiles.cmake.in
               ${PROJECT_BINARY_DIR}/packaging/InstallServerFiles.cmake @ONLY)
install(SCRIPT ${PROJECT_BINARY_DIR}/packaging/InstallServerFiles.cmake)

# The package installs under /usr, so its conffiles are under /etc/corvane.
file(WRITE ${PROJECT_BINARY_DIR}/packaging/conffiles
     "/etc/corvane/corvane-sfu-server.conf\n/etc/corvane/corvane-mfu-server.conf\n"
     "/etc/corvane/corvane-rules.yml\n")

set(CPACK_PACKAGE_NAME ${CORVANE_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR corvane)
set(CPACK_PACKAGE_CONTACT "corvane media tier <media@corvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "corvane voice media servers: forwarding and mixing")
# The extended description (the lines under the summary in the package's control file).
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "The media tier of the corvane voice-chat service: two UDP servers driven by a\n"
    "gateway over a TCP control link, and keeping no state on disk.\n"
    "\n"
    "corvane-sfu-server admits users by the token the gateway gave them and\n"
    "forwards every unmuted speaker's voice datagrams to the other members of the\n"
    "room, with acknowledgements, resending, receiver-report aggregation and\n"
    "cascading to peer servers. corvane-mfu-server mixes by selection: every 20 ms\n"
    "it forwards the two best frames of each room, without decoding audio.\n"
    "\n"
    "The package also carries corvane-gateway, a reference gateway for tests and\n"
    "driving a server by hand, the corvane-client voice load generator, example\n"
    "configurations, systemd units, Prometheus rules and a log retention rule.")
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
