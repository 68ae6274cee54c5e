# The Windows package: `cpack -G ZIP` in the build folder of the mingw32 or
# mingw64 preset gives corvane-VERSION-win32.zip (or -win64), one folder
# holding corvane-host.exe with corvane.dll beside it, the browser client in
# web\, the header in include\ and an operator's README.txt.
install(FILES $<TARGET_FILE:corvane> DESTINATION . COMPONENT runtime)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/web/ DESTINATION ${CORVANE_INSTALL_WEBDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/include/corvane/KVServerApi.h DESTINATION include/corvane COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt DESTINATION . COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/docs/windows.md ${PROJECT_SOURCE_DIR}/docs/host.md
  DESTINATION docs COMPONENT runtime)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_SYSTEM_NAME win64)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VENDOR "Corvane developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
