# corvane_add_module(<target> <source>...): a module library for hosts to
# load: a MODULE library that exports KVServerStart and nothing else, so
# that no symbol of the module clashes with the host's or another module's.
# Shipped with the CMake package; the project's own tests use it too.
if(NOT CORVANE_MODULE_VERSION_SCRIPT)
  set(CORVANE_MODULE_VERSION_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/corvane-module.map)
endif()

function(corvane_add_module target)
  add_library(${target} MODULE ${ARGN})
  target_link_libraries(${target} PRIVATE Corvane::headers)
  target_compile_definitions(${target} PRIVATE CORVANE_BUILDING_LIBRARY)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    target_link_options(${target} PRIVATE
      "LINKER:--version-script=${CORVANE_MODULE_VERSION_SCRIPT}" "LINKER:--no-undefined")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${CORVANE_MODULE_VERSION_SCRIPT})
  endif()
endfunction()
