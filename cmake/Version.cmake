# The one version number, from project(): programs include <kq_version.h> by linking kq_version.
configure_file(${CMAKE_CURRENT_LIST_DIR}/kq_version.h.in
    ${CMAKE_BINARY_DIR}/generated/kq_version.h @ONLY)
add_library(kq_version INTERFACE)
target_include_directories(kq_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
