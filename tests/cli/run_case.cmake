# Runs the built tokenmode once and checks what it did. Called by CTest as
#   cmake -DTOKENMODE=... [-DEMULATOR=...] -DARGS=a|b|c -DEXIT=n [-DSTDOUT=re|re]
#         [-DSTDERR=re|re] [-DTRACE=re|re] [-DNO_TRACE=re|re] -DWORK=dir -P run_case.cmake
# Lists are separated by "|". @TRACE@ in ARGS stands for the trace file of this run.
# STDOUT and STDERR: regular expressions that must all match the stream. TRACE: regular
# expressions that must match trace lines in this order (other lines may come between).
# NO_TRACE: regular expressions that no trace line may match.

file(MAKE_DIRECTORY "${WORK}")
set(trace_file "${WORK}/trace.txt")
file(REMOVE "${trace_file}")

string(REPLACE "@TRACE@" "${trace_file}" ARGS "${ARGS}")
string(REPLACE "|" ";" args "${ARGS}")
set(command ${TOKENMODE} ${args})
if(EMULATOR)
  string(REPLACE "|" ";" emulator "${EMULATOR}")
  set(command ${emulator} ${command})
endif()
execute_process(COMMAND ${command} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err
                TIMEOUT 60)

set(failures "")
if(NOT "${code}" STREQUAL "${EXIT}")
  string(APPEND failures "exit code ${code}, expected ${EXIT}\n")
endif()

function(expect_all name text patterns)
  string(REPLACE "|" ";" patterns "${patterns}")
  foreach(pattern IN LISTS patterns)
    if(NOT "${text}" MATCHES "${pattern}")
      string(APPEND failures "${name} does not match: ${pattern}\n")
    endif()
  endforeach()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

expect_all(stdout "${out}" "${STDOUT}")
expect_all(stderr "${err}" "${STDERR}")

if(DEFINED TRACE OR DEFINED NO_TRACE)
  set(lines "")
  if(EXISTS "${trace_file}")
    file(STRINGS "${trace_file}" lines)
  else()
    string(APPEND failures "no trace was written\n")
  endif()
  string(REPLACE "|" ";" wanted "${TRACE}")
  set(next 0)
  list(LENGTH wanted wanted_count)
  foreach(line IN LISTS lines)
    if(next LESS wanted_count)
      list(GET wanted ${next} pattern)
      if("${line}" MATCHES "${pattern}")
        math(EXPR next "${next} + 1")
      endif()
    endif()
  endforeach()
  if(next LESS wanted_count)
    list(GET wanted ${next} pattern)
    string(APPEND failures "trace has no line (in order) matching: ${pattern}\n")
  endif()
  string(REPLACE "|" ";" unwanted "${NO_TRACE}")
  foreach(pattern IN LISTS unwanted)
    foreach(line IN LISTS lines)
      if("${line}" MATCHES "${pattern}")
        string(APPEND failures "trace line should not be there: ${line}\n")
      endif()
    endforeach()
  endforeach()
endif()

if(failures)
  set(trace_text "")
  if(EXISTS "${trace_file}")
    file(READ "${trace_file}" trace_text)
  endif()
  message(FATAL_ERROR "${failures}--- stdout\n${out}--- stderr\n${err}--- trace\n${trace_text}")
endif()
