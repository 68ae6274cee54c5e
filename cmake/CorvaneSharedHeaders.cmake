# The host's header-only libraries for the Windows cross build. Debian ships
# Boost, CLI11, spdlog and fmt for Linux only, but their headers are
# platform-neutral: the build reads them through a folder that holds nothing
# but links to them, never /usr/include itself, whose C headers are Linux's
# and would shadow the MinGW ones. spdlog and fmt are used header-only.
set(corvane_shared_headers ${CMAKE_BINARY_DIR}/shared-headers)
file(MAKE_DIRECTORY ${corvane_shared_headers})
foreach(name boost CLI spdlog fmt)
  if(NOT IS_DIRECTORY /usr/include/${name})
    message(FATAL_ERROR "/usr/include/${name} is missing: scripts/deps host installs it")
  endif()
  file(CREATE_LINK /usr/include/${name} ${corvane_shared_headers}/${name} SYMBOLIC)
endforeach()

add_library(Boost::headers INTERFACE IMPORTED)
target_include_directories(Boost::headers INTERFACE ${corvane_shared_headers})
# Asio's Windows sockets; 0x0601 (Windows 7) is the oldest system it is
# built for.
target_compile_definitions(Boost::headers INTERFACE _WIN32_WINNT=0x0601)
target_link_libraries(Boost::headers INTERFACE ws2_32 mswsock)

add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_include_directories(CLI11::CLI11 INTERFACE ${corvane_shared_headers})

add_library(spdlog::spdlog INTERFACE IMPORTED)
target_include_directories(spdlog::spdlog INTERFACE ${corvane_shared_headers})
target_compile_definitions(spdlog::spdlog INTERFACE SPDLOG_HEADER_ONLY FMT_HEADER_ONLY)
