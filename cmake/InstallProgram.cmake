# Installs an executable into KQ_INSTALL_DIR, beside Language/ and the loader image it looks for
# next to its real path, and links it into the bin directory. On Windows the program folder is
# all: a plain copy, no links.
function(kq_install_program target)
  install(TARGETS ${target} DESTINATION ${KQ_INSTALL_DIR})
  if(WIN32)
    return()
  endif()
  # The link is made in the build tree and installed as a file, so that it is listed in
  # install_manifest.txt and goes into packages like any other installed file.
  file(RELATIVE_PATH link_target /${CMAKE_INSTALL_BINDIR} /${KQ_INSTALL_DIR}/${target})
  set(link ${CMAKE_BINARY_DIR}/bin-links/${target})
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/bin-links)
  file(CREATE_LINK ${link_target} ${link} SYMBOLIC)
  install(FILES ${link} DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
