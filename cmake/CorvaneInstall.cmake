# Where things go on installation, and the one way every program of the
# project is installed. The host finds the module and the browser client
# relative to its own location, through the relative paths defined here.
set(CORVANE_INSTALL_MODULEDIR ${CMAKE_INSTALL_LIBDIR}/corvane)
set(CORVANE_INSTALL_WEBDIR ${CMAKE_INSTALL_DATADIR}/corvane/web)
set(CORVANE_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Corvane)

# A Windows package is one folder: the programs with the module beside them,
# the browser client in web\.
if(WIN32)
  set(CMAKE_INSTALL_BINDIR .)
  set(CORVANE_INSTALL_MODULEDIR .)
  set(CORVANE_INSTALL_WEBDIR web)
endif()

# Relative paths from the programs' folder, compiled into the host.
file(RELATIVE_PATH CORVANE_BIN_TO_MODULEDIR
  ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_PREFIX}/${CORVANE_INSTALL_MODULEDIR})
file(RELATIVE_PATH CORVANE_BIN_TO_WEBDIR
  ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_PREFIX}/${CORVANE_INSTALL_WEBDIR})

# Installs a program of the project into bin/. Every program calls it beside
# its add_executable.
function(corvane_install_program target)
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endfunction()

# The public header as a target; Corvane::headers in the installed package.
add_library(corvane_headers INTERFACE)
target_include_directories(corvane_headers INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(corvane_headers PROPERTIES EXPORT_NAME headers)
add_library(Corvane::headers ALIAS corvane_headers)

set(CORVANE_MODULE_VERSION_SCRIPT ${PROJECT_SOURCE_DIR}/src/corvane.map)
include(${CMAKE_CURRENT_LIST_DIR}/CorvaneModule.cmake)
