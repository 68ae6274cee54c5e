# What `cmake --install` puts where, the CMake package and pkg-config file
# for module and host authors, and the Debian package built by CPack.
include(CMakePackageConfigHelpers)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man ${CMAKE_BINARY_DIR}/debian)

install(FILES ${PROJECT_SOURCE_DIR}/include/corvane/KVServerApi.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/corvane COMPONENT dev)
# The module is a plug-in: hosts load it by path, nothing links it.
install(TARGETS corvane LIBRARY DESTINATION ${CORVANE_INSTALL_MODULEDIR} COMPONENT runtime)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/web/ DESTINATION ${CORVANE_INSTALL_WEBDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/host.md ${PROJECT_SOURCE_DIR}/docs/sdk.md
  ${PROJECT_SOURCE_DIR}/docs/windows.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT dev)
# Manual pages, compressed as Debian wants them: gzip -n leaves no name or
# time stamp in the header.
foreach(page corvane-host.1 corvane-check.1 corvane-bot.1)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/man/${page})
  execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/man/${page}
    OUTPUT_FILE ${CMAKE_BINARY_DIR}/man/${page}.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${CMAKE_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
endforeach()

# find_package(Corvane CONFIG)
install(TARGETS corvane_headers EXPORT CorvaneTargets)
install(EXPORT CorvaneTargets NAMESPACE Corvane:: DESTINATION ${CORVANE_INSTALL_CMAKEDIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/CorvaneConfig.cmake.in
  ${CMAKE_BINARY_DIR}/CorvaneConfig.cmake
  INSTALL_DESTINATION ${CORVANE_INSTALL_CMAKEDIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_BINDIR CORVANE_INSTALL_MODULEDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/CorvaneConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/CorvaneConfig.cmake
  ${CMAKE_BINARY_DIR}/CorvaneConfigVersion.cmake
  ${CMAKE_CURRENT_LIST_DIR}/CorvaneModule.cmake
  DESTINATION ${CORVANE_INSTALL_CMAKEDIR} COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/src/corvane.map
  DESTINATION ${CORVANE_INSTALL_CMAKEDIR} RENAME corvane-module.map COMPONENT dev)

# pkg-config --cflags corvane; the file finds its prefix from where it lies.
configure_file(${CMAKE_CURRENT_LIST_DIR}/corvane.pc.in ${CMAKE_BINARY_DIR}/corvane.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/corvane.pc DESTINATION ${CMAKE_INSTALL_DATADIR}/pkgconfig COMPONENT dev)

# ---- Debian package: cpack -G DEB in the build folder ----
set(CORVANE_MAINTAINER "Corvane developers <corvane@example.org>")
set(packaging ${PROJECT_SOURCE_DIR}/packaging)

# The service's files live outside the prefix, so only the package installs
# them; a plain `cmake --install` leaves /etc and /lib alone.
install(FILES ${packaging}/corvane-host.service DESTINATION /lib/systemd/system
  COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${packaging}/corvane-host.default DESTINATION /etc/default RENAME corvane-host
  COMPONENT system EXCLUDE_FROM_ALL)
configure_file(${packaging}/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
execute_process(COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/debian/changelog
  OUTPUT_FILE ${CMAKE_BINARY_DIR}/debian/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${packaging}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz
  DESTINATION share/doc/corvane COMPONENT system EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VENDOR "Corvane developers")
set(CPACK_PACKAGE_CONTACT "${CORVANE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "multi-user game module, its reference host and SDK")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Corvane is a server-side game module: a shared library that a game host
loads and drives through a small binary interface. This package holds
the module library, corvane-host (the reference host, serving players
over WebSocket, run as the corvane-host service), the browser client,
corvane-check (a conformance checker for module libraries) and the
header, CMake package and pkg-config file for module and host authors.")
# Installed with DESTDIR, so that the service's files outside the prefix
# land in the package too.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
# Unspecified: install rules that name no component still reach the package.
set(CPACK_COMPONENTS_ALL runtime dev system Unspecified)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${packaging}/debian/postinst ${packaging}/debian/prerm ${packaging}/debian/postrm ${packaging}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
