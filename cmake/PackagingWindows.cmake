# The Windows release: one zip holding stratavon-cli.exe and its manual as
# HTML (made from resources/stratavon-cli.1 by mandoc), made by
# `scripts/build-windows.sh --package` (`cpack -G ZIP` in build-windows/):
#   stratavon-cli-<version>-win64.zip
#     stratavon-cli-<version>-win64/stratavon-cli.exe
#     stratavon-cli-<version>-win64/stratavon-cli.html
find_program(STRATAVON_MANDOC mandoc)
if(STRATAVON_MANDOC)
  set(manual ${CMAKE_BINARY_DIR}/stratavon-cli.html)
  add_custom_command(OUTPUT ${manual}
    COMMAND ${STRATAVON_MANDOC} -T html -O toc ${CMAKE_SOURCE_DIR}/resources/stratavon-cli.1 > ${manual}
    DEPENDS ${CMAKE_SOURCE_DIR}/resources/stratavon-cli.1
    COMMENT "The manual as HTML")
  add_custom_target(stratavon_manual_html ALL DEPENDS ${manual})
  add_dependencies(stratavon-cli stratavon_manual_html)
  install(FILES ${manual} DESTINATION . COMPONENT cli)
else()
  message(STATUS "mandoc not found: the Windows zip goes without the HTML manual (scripts/setup.sh windows)")
endif()
install(TARGETS stratavon-cli RUNTIME DESTINATION . COMPONENT cli)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME stratavon-cli)
set(CPACK_PACKAGE_VENDOR "Halvex")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Storage load and data-integrity tester (command line)")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME stratavon-cli-${PROJECT_VERSION}-win64)
set(CPACK_COMPONENTS_ALL cli)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)
