# Run by CPack on the staged files before they are packed: strips the programs as Debian's
# dh_strip does, dropping the compiler's .comment and .note sections that a plain strip keeps.
file(GLOB programs ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/lib/kq7300/kq7300*)
foreach(program ${programs})
  execute_process(
    COMMAND ${CPACK_KQ_STRIP} --remove-section=.comment --remove-section=.note ${program}
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
