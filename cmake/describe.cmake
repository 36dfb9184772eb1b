# Writes OUT with the `git describe --tags --always` of the checkout at SOURCE (empty when there is none), touching
# the file only when its text changes, so a build that changed nothing recompiles nothing.
execute_process(COMMAND git -C "${SOURCE}" rev-parse --show-toplevel
                OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE top_rc)
set(described "")
# Only the checkout's own repository counts: a tree unpacked inside another repository has no version of its own.
if(top_rc EQUAL 0)
  file(REAL_PATH "${SOURCE}" source_real)
  file(REAL_PATH "${top}" top_real)
  if(source_real STREQUAL top_real)
    execute_process(COMMAND git -C "${SOURCE}" describe --tags --always
                    OUTPUT_VARIABLE described OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
endif()
string(REGEX REPLACE "[^A-Za-z0-9._+-]" "" described "${described}")
set(text "// Generated at build time: git describe of the checkout this binary was built from (empty when none).\n#pragma once\n\n#define ORRERY_DESCRIBED_VERSION \"${described}\"\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
else()
  set(old "")
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
