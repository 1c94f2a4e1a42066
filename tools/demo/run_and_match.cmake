# Runs one program and checks both how it exited and what it printed, which a
# plain test cannot do at once (an output pattern alone ignores the exit code).
#
#   cmake -DPROGRAM=<program> [-DARGUMENTS=<a;b;c>] -DEXPECTED_EXIT=<status, or zero for 0>
#         [-DEXPECTED_OUTPUT=<regex over standard output>]
#         [-DEXPECTED_ERROR=<regex over standard error>]
#         [-DEXPECTED_COMBINED=<regex over standard output followed by standard error>]
#         -P run_and_match.cmake
if(NOT DEFINED PROGRAM OR NOT DEFINED EXPECTED_EXIT)
  message(FATAL_ERROR "run_and_match.cmake needs PROGRAM and EXPECTED_EXIT")
endif()

execute_process(COMMAND ${PROGRAM} ${ARGUMENTS}
                RESULT_VARIABLE exit_status
                OUTPUT_VARIABLE standard_output
                ERROR_VARIABLE standard_error)
message("${standard_output}")
message("${standard_error}")

# The exact status: each kind of refusal has its own. A crash reports a text
# such as "Segmentation fault", not a number, and so never matches.
set(expected_status "${EXPECTED_EXIT}")
if(expected_status STREQUAL "zero")
  set(expected_status 0)
endif()
if(NOT expected_status MATCHES "^[0-9]+$")
  message(FATAL_ERROR "EXPECTED_EXIT must be a whole number (or zero), not '${EXPECTED_EXIT}'")
endif()
if(NOT exit_status STREQUAL "${expected_status}")
  message(FATAL_ERROR "expected exit status ${expected_status}, got '${exit_status}'")
endif()

if(DEFINED EXPECTED_OUTPUT AND NOT "${standard_output}" MATCHES "${EXPECTED_OUTPUT}")
  message(FATAL_ERROR "standard output does not match '${EXPECTED_OUTPUT}'")
endif()
if(DEFINED EXPECTED_COMBINED AND NOT "${standard_output}${standard_error}" MATCHES "${EXPECTED_COMBINED}")
  message(FATAL_ERROR "standard output and error do not match '${EXPECTED_COMBINED}'")
endif()
if(DEFINED EXPECTED_ERROR AND NOT "${standard_error}" MATCHES "${EXPECTED_ERROR}")
  message(FATAL_ERROR "standard error does not match '${EXPECTED_ERROR}'")
endif()
