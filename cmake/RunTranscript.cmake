# Runs one transcript case: PROGRAM with CASE.in on standard input, in a fresh WORK_DIR
# holding copies of the models in SOURCE_DIR/models. Standard output must equal CASE.out
# byte for byte, where @ABS@ stands for WORK_DIR; the exit status must equal CASE.status
# (0 when absent). CASE.files lists files that must exist afterwards, one per line; a
# line starting with "!" names a file that must not exist.
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
file(GLOB models "${SOURCE_DIR}/models/*")
if(models)
  file(COPY ${models} DESTINATION "${WORK_DIR}")
endif()

execute_process(
  COMMAND "${PROGRAM}"
  WORKING_DIRECTORY "${WORK_DIR}"
  INPUT_FILE "${SOURCE_DIR}/${CASE}.in"
  OUTPUT_VARIABLE actual
  ERROR_VARIABLE stderr_text
  RESULT_VARIABLE status)

file(READ "${SOURCE_DIR}/${CASE}.out" expected)
string(REPLACE "@ABS@" "${WORK_DIR}" expected "${expected}")
set(expected_status 0)
if(EXISTS "${SOURCE_DIR}/${CASE}.status")
  file(STRINGS "${SOURCE_DIR}/${CASE}.status" expected_status LIMIT_COUNT 1)
endif()

set(failed FALSE)
if(NOT "${actual}" STREQUAL "${expected}")
  file(WRITE "${WORK_DIR}/actual.out" "${actual}")
  file(WRITE "${WORK_DIR}/expected.out" "${expected}")
  message(SEND_ERROR "standard output differs; compare with:\n  diff ${WORK_DIR}/expected.out ${WORK_DIR}/actual.out")
  set(failed TRUE)
endif()
if(NOT "${status}" STREQUAL "${expected_status}")
  message(SEND_ERROR "exit status ${status}, expected ${expected_status}; stderr: ${stderr_text}")
  set(failed TRUE)
endif()
if(EXISTS "${SOURCE_DIR}/${CASE}.files")
  file(STRINGS "${SOURCE_DIR}/${CASE}.files" checks)
  foreach(check ${checks})
    if(check MATCHES "^!(.*)")
      if(EXISTS "${WORK_DIR}/${CMAKE_MATCH_1}")
        message(SEND_ERROR "${CMAKE_MATCH_1} exists but should not")
        set(failed TRUE)
      endif()
    elseif(NOT EXISTS "${WORK_DIR}/${check}")
      message(SEND_ERROR "${check} was not written")
      set(failed TRUE)
    endif()
  endforeach()
endif()
if(failed)
  message(FATAL_ERROR "transcript ${CASE} failed")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
