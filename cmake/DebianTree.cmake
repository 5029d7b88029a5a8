# Run by cpack on the staged trees before it makes the packages (what
# debhelper's dh_installdocs, dh_installchangelogs and dh_compress do for a
# package built the Debian way): the programs without the compiler's
# comments, every manual page compressed, and each package's copyright
# file and changelog in /usr/share/doc/<package>/.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

# One staged tree per component, named after it: <staging>/<component>/usr/...
string(TIMESTAMP STRATAVON_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  set(tree ${CPACK_TEMPORARY_DIRECTORY}/${component}${CPACK_PACKAGING_INSTALL_PREFIX})
  if(NOT IS_DIRECTORY ${tree})
    message(FATAL_ERROR "no staged tree ${tree} for the ${component} package")
  endif()
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})

  # CPack stripped the symbols; what the compilers and linkers noted is left.
  file(GLOB programs ${tree}/bin/*)
  foreach(program IN LISTS programs)
    execute_process(COMMAND ${CPACK_STRATAVON_STRIP} --remove-section=.comment --remove-section=.note ${program}
      COMMAND_ERROR_IS_FATAL ANY)
  endforeach()

  file(GLOB pages ${tree}/share/man/man*/*)
  foreach(page IN LISTS pages)
    if(NOT page MATCHES "\\.gz$")
      execute_process(COMMAND gzip -9nf ${page} COMMAND_ERROR_IS_FATAL ANY)
    endif()
  endforeach()

  set(doc ${tree}/share/doc/${package})
  file(MAKE_DIRECTORY ${doc})
  file(COPY ${CPACK_STRATAVON_DEBIAN_DIR}/copyright DESTINATION ${doc})
  configure_file(${CPACK_STRATAVON_DEBIAN_DIR}/changelog.in ${doc}/changelog @ONLY)
  execute_process(COMMAND gzip -9nf ${doc}/changelog COMMAND_ERROR_IS_FATAL ANY)
  file(CHMOD ${doc}/copyright ${doc}/changelog.gz PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()
