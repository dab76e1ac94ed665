# Applied per target so that third-party headers pulled in as SYSTEM stay quiet.
function(kq_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -Wno-sign-conversion -Wno-missing-field-initializers -Wnon-virtual-dtor -Woverloaded-virtual)
  if(KQ_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
