# Where an installed program's Config.ini is. A system install (the package, configured with
# -DCMAKE_INSTALL_PREFIX=/usr) keeps it in /etc/kq7300/Config.ini, a conffile the administrator
# edits, with a link to it beside the programs; the programs never write it and put each user's
# changes in that user's copy. Any other install (a prefix such as /usr/local or a home folder)
# installs no Config.ini: the programs write the one beside them where the user may.
if(NOT WIN32 AND CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(kq_system_config_default /etc/kq7300/Config.ini)
else()
  set(kq_system_config_default "")
endif()
set(KQ_SYSTEM_CONFIG "${kq_system_config_default}" CACHE STRING
    "The system's Config.ini, linked from beside the programs and never written by them; empty: none (a source install)")
if(KQ_SYSTEM_CONFIG AND NOT IS_ABSOLUTE "${KQ_SYSTEM_CONFIG}")
  message(FATAL_ERROR "KQ_SYSTEM_CONFIG must be an absolute path, not ${KQ_SYSTEM_CONFIG}")
endif()

# Installs an executable into KQ_INSTALL_DIR, beside Language/ and the loader image it looks for
# next to its real path, and links it into the bin directory. On Windows the program folder is
# all: a plain copy, no links.
function(kq_install_program target)
  install(TARGETS ${target} DESTINATION ${KQ_INSTALL_DIR})
  # Release and MinSizeRel ask for no debugging information, so their install strips the
  # program as cmake --install --strip would; Debug and RelWithDebInfo keep it. The package
  # strips in any case (cmake/Packaging.cmake), as Debian wants.
  if(CMAKE_STRIP)
    install(CODE "
      if(CMAKE_INSTALL_CONFIG_NAME MATCHES \"^(Release|MinSizeRel)\$\" AND NOT CMAKE_INSTALL_DO_STRIP)
        set(program \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${KQ_INSTALL_DIR}/$<TARGET_FILE_NAME:${target}>\")
        message(STATUS \"Stripping: \${program}\")
        execute_process(COMMAND \"${CMAKE_STRIP}\" \"\${program}\" COMMAND_ERROR_IS_FATAL ANY)
      endif()")
  endif()
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
