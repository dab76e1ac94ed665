# CLI11 is header-only, so the host's copy serves a cross build too. It is copied apart: the
# host's include folder itself must not reach the cross compiler.
find_path(KQ_HOST_CLI11_DIR CLI/CLI.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT KQ_HOST_CLI11_DIR)
  message(FATAL_ERROR "CLI11's headers not found in /usr/include (Debian: libcli11-dev)")
endif()
file(COPY ${KQ_HOST_CLI11_DIR}/CLI DESTINATION ${CMAKE_BINARY_DIR}/host-headers)
include_directories(SYSTEM ${CMAKE_BINARY_DIR}/host-headers)
