# Which platform layer the core library is built on. Every src/platform/X.cpp
# that has a twin X_win.cpp is replaced by it on Windows; the pieces listed
# below exist on one side only.
file(GLOB STRATAVON_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/*.cpp)
file(GLOB STRATAVON_PLATFORM_WIN_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/*_win.cpp)
list(REMOVE_ITEM STRATAVON_PLATFORM_SOURCES ${STRATAVON_PLATFORM_WIN_SOURCES})

if(WIN32)
  # io_uring and its thread-pool stand-in give way to overlapped I/O
  # (IoQueueOverlapped_win.cpp); ISA-L's CRC kernels to the portable one.
  set(STRATAVON_LINUX_ONLY IoQueueUring.cpp IoQueueThreads.cpp)
  foreach(twin ${STRATAVON_PLATFORM_WIN_SOURCES})
    get_filename_component(name ${twin} NAME)
    string(REPLACE "_win.cpp" ".cpp" linux ${name})
    list(APPEND STRATAVON_LINUX_ONLY ${linux})
  endforeach()
  foreach(name ${STRATAVON_LINUX_ONLY})
    list(REMOVE_ITEM STRATAVON_PLATFORM_SOURCES ${CMAKE_SOURCE_DIR}/src/platform/${name})
  endforeach()
  list(APPEND STRATAVON_PLATFORM_SOURCES ${STRATAVON_PLATFORM_WIN_SOURCES})
  # The POSIX calls the engine makes on descriptors (pread, fsync, ...)
  # come from PosixCalls_win.h, seen by every source; Windows 8 APIs
  # (CancelIoEx, GetTickCount64); gmtime_r.
  add_compile_definitions(_WIN32_WINNT=0x0602 WIN32_LEAN_AND_MEAN NOMINMAX _FILE_OFFSET_BITS=64
    _POSIX_THREAD_SAFE_FUNCTIONS=200112L)
  add_compile_options("SHELL:-include ${CMAKE_SOURCE_DIR}/src/platform/PosixCalls_win.h")
  include_directories(BEFORE SYSTEM ${CMAKE_SOURCE_DIR}/src/platform/posix_win)
  set(STRATAVON_PLATFORM_LIBRARIES advapi32 synchronization)
  # Static runtime: the .exe runs without the compiler's DLLs beside it.
  add_link_options(-static)
  set(STRATAVON_MPI OFF CACHE BOOL "" FORCE)
  set(STRATAVON_GUI OFF CACHE BOOL "" FORCE)
  set(STRATAVON_BENCH OFF CACHE BOOL "" FORCE)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(URING REQUIRED IMPORTED_TARGET liburing)
  pkg_check_modules(BLKID REQUIRED IMPORTED_TARGET blkid)
  find_library(ISAL_LIBRARY NAMES isal REQUIRED)
  find_path(ISAL_INCLUDE_DIR NAMES isa-l/crc.h REQUIRED)
  set(STRATAVON_PLATFORM_LIBRARIES PkgConfig::URING PkgConfig::BLKID ${ISAL_LIBRARY})
  include_directories(${ISAL_INCLUDE_DIR})
endif()
