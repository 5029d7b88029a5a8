# What an installed tree holds beside the programs, their manuals and the
# desktop files (whose rules are next to their targets), and the Debian
# packages made of it: `scripts/package.sh`, or `cpack -G DEB` in a build
# folder configured with -DCMAKE_INSTALL_PREFIX=/usr.
# The Windows build makes a zip instead (cmake/PackagingWindows.cmake).
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/PackagingWindows.cmake)
  return()
endif()
include(GNUInstallDirs)

# stratavon-cli's shell completion, where bash-completion loads it from.
if(TARGET stratavon-cli)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/stratavon-cli.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME stratavon-cli COMPONENT cli)
endif()

# One package per component, so a server can take the command line without Qt:
#   desktop -> stratavon      (the desktop program, its manual, menu entry,
#                              icons, AppStream data, bus activation file)
#   cli     -> stratavon-cli  (the headless front end, its manual and completion)
#   faultfs -> stratavon-faultfs (the fault-injecting file system that
#                              `stratavon-cli selftest` mounts)
#   mpi     -> stratavon-mpi  (the run across MPI ranks and its manual; only
#                              where MPI was found)
set(CPACK_PACKAGE_NAME stratavon)
set(CPACK_PACKAGE_VENDOR "Halvex")
set(CPACK_PACKAGE_CONTACT "Stratavon developers <stratavon@halvex.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Storage load and data-integrity tester")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
# The bus activation file and the CLI's search for stratavon-faultfs name
# the installed programs: package what was configured.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_COMPONENTS_ALL)
if(STRATAVON_GUI)
  list(APPEND CPACK_COMPONENTS_ALL desktop)
endif()
if(TARGET stratavon-cli)
  list(APPEND CPACK_COMPONENTS_ALL cli)
endif()
if(TARGET stratavon-faultfs)
  list(APPEND CPACK_COMPONENTS_ALL faultfs)
endif()
if(TARGET stratavon-mpi)
  list(APPEND CPACK_COMPONENTS_ALL mpi)
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SOURCE stratavon)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME stratavon)
set(CPACK_DEBIAN_CLI_PACKAGE_NAME stratavon-cli)
set(CPACK_DEBIAN_FAULTFS_PACKAGE_NAME stratavon-faultfs)
set(CPACK_DEBIAN_FAULTFS_PACKAGE_DEPENDS "fuse3")
set(CPACK_DEBIAN_CLI_PACKAGE_SUGGESTS "stratavon-faultfs")
set(CPACK_DEBIAN_MPI_PACKAGE_NAME stratavon-mpi)
# mpirun is a program, not a library: dpkg-shlibdeps finds only libmpi.
set(CPACK_DEBIAN_MPI_PACKAGE_DEPENDS "openmpi-bin")
# Qt finds its display plugins at run time; dpkg-shlibdeps cannot see them.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_RECOMMENDS "stratavon-cli, qt6-wayland")
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION "storage load and data-integrity tester (desktop program)
The desktop program of Stratavon puts sustained read and write load on
folders and disks and checks the data read back: live rates per target,
a chart of the whole run, results that save as JSON or CSV, and a viewer
for the event log.")
set(CPACK_DEBIAN_CLI_DESCRIPTION "storage load and data-integrity tester (command line)
The headless front end of Stratavon runs the same workers as the desktop
program without a display, prints live rates and exits with a verdict;
JSON results for scripts. It needs no Qt.")
set(CPACK_DEBIAN_FAULTFS_DESCRIPTION "fault-injecting FUSE file system for the Stratavon self-test
A pass-through FUSE file system over a folder that fails, shortens,
corrupts, stalls, drops or misdirects chosen reads and writes; what
`stratavon-cli selftest` mounts to show that faults are caught.")
set(CPACK_DEBIAN_MPI_DESCRIPTION "storage load and data-integrity tester (across MPI ranks)
Stratavon's headless run across the hosts of an MPI job (mpirun, srun).
Every rank runs the command line's workers on its own targets; rank 0
shows the live rates of all ranks and one verdict per host and rank and
in total.")

# What Debian asks of every package that CPack does not do itself: programs
# stripped of the compilers' notes, compressed manuals, and a copyright file
# and changelog in /usr/share/doc/<package>/ (from resources/debian/),
# applied to the staged trees.
set(CPACK_STRATAVON_DEBIAN_DIR ${CMAKE_SOURCE_DIR}/resources/debian)
set(CPACK_STRATAVON_STRIP ${CMAKE_STRIP})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/DebianTree.cmake)
# No .deb from a build for /usr/local; each package's own synopsis.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/CPackOptions.cmake)
include(CPack)
