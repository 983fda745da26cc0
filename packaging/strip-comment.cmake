# SPDX-License-Identifier: Apache-2.0
# Run by CPack on the staged files before it builds the package: CPack's own
# strip keeps the compiler's .comment and .note sections, which Debian's
# packaging tools remove from every binary (as dh_strip does).
file(GLOB binaries LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/usr/bin/*")
foreach(binary IN LISTS binaries)
  execute_process(COMMAND ${CPACK_VELMORA_STRIP} --remove-section=.comment --remove-section=.note
                          ${binary}
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot strip ${binary}")
  endif()
endforeach()
