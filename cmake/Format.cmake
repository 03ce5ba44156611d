# Runs clang-format over the repository's C++ files (those git knows of,
# tracked or new): MODE=fix rewrites them, MODE=check fails on the first
# pass naming every file that is not in the house style.
execute_process(
  COMMAND git ls-files --cached --others --exclude-standard -- *.cpp *.h
  OUTPUT_VARIABLE files_text RESULT_VARIABLE git_result
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT git_result EQUAL 0)
  message(FATAL_ERROR "format: git ls-files failed (run in the repository)")
endif()
string(REPLACE "\n" ";" files "${files_text}")
set(unformatted "")
foreach(file ${files})
  if(NOT EXISTS "${file}")
    continue()
  endif()
  if(MODE STREQUAL "fix")
    execute_process(COMMAND ${CLANG_FORMAT} -i ${file})
  else()
    execute_process(COMMAND ${CLANG_FORMAT} --dry-run --Werror ${file}
      RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
    if(NOT rc EQUAL 0)
      list(APPEND unformatted ${file})
    endif()
  endif()
endforeach()
if(unformatted)
  string(REPLACE ";" "\n  " shown "${unformatted}")
  message(FATAL_ERROR "not in the house style (cmake --build <dir> --target format):\n  ${shown}")
endif()
