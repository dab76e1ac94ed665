# Applied per target so that third-party headers pulled in as SYSTEM stay quiet.
function(kq_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -Wno-sign-conversion -Wno-missing-field-initializers -Wnon-virtual-dtor -Woverloaded-virtual)
  # GCC 12 takes "text" + std::string for overlapping copies once it optimises (-O3, its
  # bug 105329, fixed in 13): no warning of it could be true in this code.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
     AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  if(KQ_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
