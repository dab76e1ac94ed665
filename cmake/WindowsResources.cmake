# Gives a Windows program the icon (res/icons/kq7300.ico, made by scripts/icons.sh) and the
# version that Explorer shows; elsewhere it does nothing.
function(kq_windows_resources target)
  if(NOT WIN32)
    return()
  endif()
  set(rc ${PROJECT_BINARY_DIR}/generated/kq7300.rc)
  configure_file(${PROJECT_SOURCE_DIR}/res/kq7300.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
