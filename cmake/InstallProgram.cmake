# Installs an executable into KQ_INSTALL_DIR, beside Language/ and the loader image it looks for
# next to its real path, and links it into the bin directory.
function(kq_install_program target)
  install(TARGETS ${target} DESTINATION ${KQ_INSTALL_DIR})
  file(RELATIVE_PATH link_target /${CMAKE_INSTALL_BINDIR} /${KQ_INSTALL_DIR}/${target})
  install(CODE "
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(CREATE_LINK \"${link_target}\"
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${target}\" SYMBOLIC)")
endfunction()
