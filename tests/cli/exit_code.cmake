# Runs a program and passes when it ends with the exit code EXIT_CODE and says what matches
# EXPECTED (stdout and stderr together):
#   cmake -DPROGRAM=... [-DEMULATOR=a|b] [-DARGS=x|y] -DEXIT_CODE=N [-DEXPECTED=REGEX] -P exit_code.cmake
# Lists are given with "|", since add_test would split them at ";".
string(REPLACE "|" ";" emulator "${EMULATOR}")
string(REPLACE "|" ";" args "${ARGS}")
execute_process(COMMAND ${emulator} ${PROGRAM} ${args}
    RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT code STREQUAL EXIT_CODE)
  message(FATAL_ERROR "exit code ${code}, expected ${EXIT_CODE}")
endif()
if(DEFINED EXPECTED AND NOT "${out}${err}" MATCHES "${EXPECTED}")
  message(FATAL_ERROR "the output does not match: ${EXPECTED}")
endif()
