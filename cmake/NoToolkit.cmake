# kq_forbid_toolkit(target): the target is a layer below the views. Its build fails when one of
# its sources includes a toolkit header (Qt, the Win32 user interface) or a view's header, and
# configuring fails when it links a toolkit library, directly or through its dependencies.
set(KQ_NO_TOOLKIT_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/CheckNoToolkit.cmake)

function(kq_forbid_toolkit target)
  get_target_property(sources ${target} SOURCES)
  get_target_property(dir ${target} SOURCE_DIR)
  set(files)
  foreach(source ${sources})
    if(NOT IS_ABSOLUTE ${source})
      set(source ${dir}/${source})
    endif()
    list(APPEND files ${source})
  endforeach()
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}_no_toolkit.stamp)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} "-DFILES=${files}" -P ${KQ_NO_TOOLKIT_SCRIPT}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${files} ${KQ_NO_TOOLKIT_SCRIPT}
    COMMENT "Checking that ${target} includes no toolkit header"
    VERBATIM)
  add_custom_target(${target}_no_toolkit DEPENDS ${stamp})
  add_dependencies(${target} ${target}_no_toolkit)
  # Its dependencies may be defined later in the tree: looked at once everything is (the name is
  # put in now, as a deferred call reads its variables only when it runs).
  cmake_language(EVAL CODE
    "cmake_language(DEFER DIRECTORY [[${PROJECT_SOURCE_DIR}]] CALL _kq_forbid_toolkit_links [[${target}]])")
endfunction()

function(_kq_collect_links item out)
  set(seen ${${out}})
  if(item IN_LIST seen)
    return()
  endif()
  list(APPEND seen ${item})
  if(TARGET ${item})
    get_target_property(aliased ${item} ALIASED_TARGET)
    if(aliased)
      _kq_collect_links(${aliased} seen)
    endif()
    foreach(property LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
      get_target_property(links ${item} ${property})
      if(links)
        foreach(link ${links})
          # Generator expressions ($<LINK_ONLY:X>) name their library inside.
          string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
          _kq_collect_links(${link} seen)
        endforeach()
      endif()
    endforeach()
  endif()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

function(_kq_forbid_toolkit_links target)
  set(all)
  _kq_collect_links(${target} all)
  foreach(item ${all})
    if(item MATCHES "^Qt[0-9]*::|^Qt[0-9]*[A-Z]|(^|[/\\\\])(lib)?(user32|gdi32|comctl32|comdlg32)(\\.|$)"
       OR item MATCHES "^kq_(pages|app)$")
      message(FATAL_ERROR "${target} must not link the toolkit library ${item}")
    endif()
  endforeach()
endfunction()
