# Runs CMD (arguments separated by |) and checks its exit status EXPECT and,
# if given, that its output matches the regular expression MATCH.
string(REPLACE "|" ";" _cmd "${CMD}")
execute_process(COMMAND ${_cmd} RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
if(NOT _rc EQUAL EXPECT)
  message(FATAL_ERROR "exit status ${_rc}, expected ${EXPECT}\n${_out}${_err}")
endif()
if(DEFINED MATCH AND NOT _out MATCHES "${MATCH}")
  message(FATAL_ERROR "output does not match '${MATCH}':\n${_out}")
endif()
