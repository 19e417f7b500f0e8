# SPDX-License-Identifier: MIT
# Formats one rendered manual page with every groff warning on and fails on
# any output: a warning is a page that some reader's man shows wrongly.
#   cmake -DGROFF=/usr/bin/groff -DPAGE=build/doc/lanecamd.8 -P check-manpage.cmake
if(NOT EXISTS "${PAGE}")
  message(FATAL_ERROR "no such page: ${PAGE} (is it built?)")
endif()
execute_process(
  COMMAND "${GROFF}" -ww -z -man -t "${PAGE}"
  RESULT_VARIABLE result
  OUTPUT_VARIABLE out
  ERROR_VARIABLE out)
if(NOT result EQUAL 0 OR NOT out STREQUAL "")
  message(FATAL_ERROR "groff -ww on ${PAGE} (status ${result}):\n${out}")
endif()
