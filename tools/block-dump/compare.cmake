# Runs the block dump and fails unless it wrote the bytes expected: those of
# the native build (a board's dump, under its emulator), or those kept in the
# repository (a native dump: every block, check and request of the fixed
# rounds, so any change to what the host is handed shows as a diff).
#   cmake -DNATIVE=<program> -DEMULATOR="<emulator args>" -DTARGET=<program>
#         -DOUT=<dir> -P compare.cmake
#   cmake -DEXPECTED=<kept dump> -DTARGET=<program> -DOUT=<dir> -P compare.cmake
# A change meant to alter the blocks rewrites the kept dump:
#   build/tools/block-dump/block-dump tools/block-dump/expected-blocks.txt
if(DEFINED EXPECTED)
  execute_process(COMMAND ${TARGET} ${OUT}/blocks.txt RESULT_VARIABLE target_rc OUTPUT_QUIET)
  if(NOT target_rc EQUAL 0)
    message(FATAL_ERROR "block-dump failed: ${target_rc}")
  endif()
  file(SHA256 ${EXPECTED} expected_sum)
  file(SHA256 ${OUT}/blocks.txt target_sum)
  if(NOT expected_sum STREQUAL target_sum)
    execute_process(COMMAND diff -u ${EXPECTED} ${OUT}/blocks.txt)
    message(FATAL_ERROR "the blocks differ from the kept ones (diff above); if the change is "
                        "meant, rewrite ${EXPECTED} with block-dump")
  endif()
  return()
endif()
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
execute_process(COMMAND ${NATIVE} ${OUT}/blocks-native.txt RESULT_VARIABLE native_rc OUTPUT_QUIET)
execute_process(COMMAND ${emulator} ${TARGET} ${OUT}/blocks-target.txt RESULT_VARIABLE target_rc
  OUTPUT_QUIET)
if(NOT native_rc EQUAL 0 OR NOT target_rc EQUAL 0)
  message(FATAL_ERROR "block-dump failed: native ${native_rc}, board ${target_rc}")
endif()
file(SHA256 ${OUT}/blocks-native.txt native_sum)
file(SHA256 ${OUT}/blocks-target.txt target_sum)
if(NOT native_sum STREQUAL target_sum)
  execute_process(COMMAND diff -u ${OUT}/blocks-native.txt ${OUT}/blocks-target.txt)
  message(FATAL_ERROR "the board's blocks differ from the native ones (diff above)")
endif()
file(STRINGS ${OUT}/blocks-native.txt sent REGEX "^(worker )?(send|save) ")
file(STRINGS ${OUT}/blocks-native.txt lines)
list(LENGTH sent sent_count)
list(LENGTH lines line_count)
message(STATUS "same dump on both: ${line_count} lines, ${sent_count} blocks sent or saved")
