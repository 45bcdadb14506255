# Run by CPack on the staged files, before it packs them: strips the notes and compiler comment that
# CMake's strip leaves in the program and Debian's own dh_strip removes.
file(GLOB programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin/*")
foreach(program IN LISTS programs)
    execute_process(COMMAND ${CPACK_STRIP_COMMAND} --remove-section=.comment --remove-section=.note
                            ${program}
                    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
