# CLI11 and nlohmann/json are header-only, so the host's copies serve a cross build too. They are
# copied apart: the host's include folder itself must not reach the cross compiler.
find_path(KQ_HOST_CLI11_DIR CLI/CLI.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT KQ_HOST_CLI11_DIR)
  message(FATAL_ERROR "CLI11's headers not found in /usr/include (Debian: libcli11-dev)")
endif()
find_path(KQ_HOST_JSON_DIR nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH
    NO_CMAKE_FIND_ROOT_PATH)
if(NOT KQ_HOST_JSON_DIR)
  message(FATAL_ERROR "nlohmann/json's headers not found in /usr/include (Debian: nlohmann-json3-dev)")
endif()
file(COPY ${KQ_HOST_CLI11_DIR}/CLI ${KQ_HOST_JSON_DIR}/nlohmann
    DESTINATION ${CMAKE_BINARY_DIR}/host-headers)
include_directories(SYSTEM ${CMAKE_BINARY_DIR}/host-headers)
# The name the native build's find_package gives it.
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
