# The Windows installer and the same files as a portable zip, both made on the build machine:
#   cmake --build BUILD --target msi            BUILD/kq7300-VERSION-x64.msi (needs wixl)
#   cmake --build BUILD --target portable-zip   BUILD/kq7300-VERSION-x64.zip
# Both hold the program folder KQ7300: kq7300tool.exe and kq7300ctl.exe stripped, Language\
# and a first Config.ini (dist/windows). Configure with -DCMAKE_BUILD_TYPE=Release for a
# release.
set(kq_package ${CMAKE_BINARY_DIR}/package)
set(kq_stage ${kq_package}/KQ7300)

# Config.ini with Windows' line ends, for whoever opens it in an older Notepad.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/dist/windows/Config.ini)
file(READ ${PROJECT_SOURCE_DIR}/dist/windows/Config.ini kq_config)
string(REPLACE "\n" "\r\n" kq_config "${kq_config}")
file(WRITE ${kq_package}/Config.ini "${kq_config}")

file(GLOB kq_languages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/res/lang/*.lang)
set(kq_staged ${kq_stage}/kq7300tool.exe ${kq_stage}/kq7300ctl.exe ${kq_stage}/Config.ini)
foreach(file ${kq_languages})
  get_filename_component(name ${file} NAME)
  list(APPEND kq_staged ${kq_stage}/Language/${name})
endforeach()
add_custom_command(OUTPUT ${kq_staged}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${kq_stage}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${kq_stage}/Language
    COMMAND ${CMAKE_STRIP} -o ${kq_stage}/kq7300tool.exe $<TARGET_FILE:kq7300tool>
    COMMAND ${CMAKE_STRIP} -o ${kq_stage}/kq7300ctl.exe $<TARGET_FILE:kq7300ctl>
    COMMAND ${CMAKE_COMMAND} -E copy ${kq_package}/Config.ini ${kq_stage}/Config.ini
    COMMAND ${CMAKE_COMMAND} -E copy ${kq_languages} ${kq_stage}/Language
    DEPENDS kq7300tool kq7300ctl ${kq_languages} ${kq_package}/Config.ini
    COMMENT "Staging the program folder KQ7300"
    VERBATIM)

set(KQ_PORTABLE_ZIP ${CMAKE_BINARY_DIR}/kq7300-${PROJECT_VERSION}-x64.zip)
add_custom_command(OUTPUT ${KQ_PORTABLE_ZIP}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${KQ_PORTABLE_ZIP}
    COMMAND ${CMAKE_COMMAND} -E chdir ${kq_package}
        ${CMAKE_COMMAND} -E tar cf ${KQ_PORTABLE_ZIP} --format=zip KQ7300
    DEPENDS ${kq_staged}
    COMMENT "Packing ${KQ_PORTABLE_ZIP}"
    VERBATIM)
add_custom_target(portable-zip DEPENDS ${KQ_PORTABLE_ZIP})

find_program(KQ_WIXL wixl)
if(NOT KQ_WIXL)
  message(STATUS "wixl not found: no msi target (Debian: wixl)")
  return()
endif()
# wixl takes the files by paths relative to where it runs: the package folder.
configure_file(${PROJECT_SOURCE_DIR}/dist/windows/kq7300.wxs.in ${kq_package}/kq7300.wxs @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/res/icons/kq7300.ico ${kq_package}/kq7300.ico COPYONLY)
set(KQ_MSI ${CMAKE_BINARY_DIR}/kq7300-${PROJECT_VERSION}-x64.msi)
add_custom_command(OUTPUT ${KQ_MSI}
    COMMAND ${KQ_WIXL} -a x64 -o ${KQ_MSI} kq7300.wxs
    WORKING_DIRECTORY ${kq_package}
    DEPENDS ${kq_staged} ${kq_package}/kq7300.wxs ${kq_package}/kq7300.ico
    COMMENT "Building ${KQ_MSI}"
    VERBATIM)
add_custom_target(msi DEPENDS ${KQ_MSI})
