# vemra_add_manual(TARGET SUMMARY COMPONENT): the manual page of a program,
# made from its --help by help2man (when it is installed; scripts/install-deps.sh
# installs it) and installed compressed, as Debian keeps manual pages, with
# the install component of the program.
find_program(VEMRA_HELP2MAN help2man)
function(vemra_add_manual target summary component)
  if(NOT VEMRA_HELP2MAN)
    return()
  endif()
  add_custom_command(OUTPUT ${target}.1.gz
    COMMAND ${VEMRA_HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
            --name=${summary} --output=${target}.1 $<TARGET_FILE:${target}>
    COMMAND gzip -9nf ${target}.1
    DEPENDS ${target} VERBATIM)
  add_custom_target(${target}_manual ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${target}.1.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${target}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT ${component})
endfunction()
