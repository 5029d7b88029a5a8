# Read by cpack before each generator runs.
if(CPACK_GENERATOR STREQUAL "DEB")
  # A .deb is installed by dpkg under /usr; /usr/local belongs to the local
  # administrator, and the programs name the folder they were built for.
  if(NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
    message(FATAL_ERROR "Debian packages install under /usr, but this build folder is configured for "
      "${CPACK_PACKAGING_INSTALL_PREFIX}: use scripts/package.sh, or configure with -DCMAKE_INSTALL_PREFIX=/usr")
  endif()
  # The first line of each package's description is its own synopsis:
  # CPackDeb puts the project's summary before it unless that is its default.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CPACK_DEFAULT_PACKAGE_DESCRIPTION_SUMMARY}")
endif()
