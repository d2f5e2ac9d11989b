# Runs TOOL (which may start with an emulator) with ARGS and checks its exit status and both
# streams. STDOUT=full writes to /dev/full; STDOUT=closed starts with descriptor 1 closed.
if(STDOUT STREQUAL "full")
  execute_process(COMMAND ${TOOL} ${ARGS} RESULT_VARIABLE rc OUTPUT_FILE /dev/full ERROR_VARIABLE err)
elseif(STDOUT STREQUAL "closed")
  execute_process(COMMAND sh -c "exec \"$@\" >&-" sh ${TOOL} ${ARGS}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
else()
  execute_process(COMMAND ${TOOL} ${ARGS} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
endif()
# A Windows program writes its line ends as CR LF in text mode.
string(REPLACE "\r\n" "\n" out "${out}")
string(REPLACE "\r\n" "\n" err "${err}")
if(NOT rc STREQUAL EXPECT_RC)
  message(FATAL_ERROR "exit status ${rc}, expected ${EXPECT_RC}\nstdout:\n${out}\nstderr:\n${err}")
endif()
if(NOT out MATCHES "${STDOUT_REGEX}")
  message(FATAL_ERROR "stdout does not match '${STDOUT_REGEX}':\n${out}")
endif()
if(NOT err MATCHES "${STDERR_REGEX}")
  message(FATAL_ERROR "stderr does not match '${STDERR_REGEX}':\n${err}")
endif()
