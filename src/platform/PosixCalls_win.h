#pragma once

// The POSIX calls on descriptors that the engine, the run model and the
// front ends make, for the Windows build (seen by every source there, see
// cmake/Platform.cmake). The C runtime has open, read, write, lseek and
// close; what it lacks is here, over the descriptor's Windows handle.
// Flags Windows has no word for are no-ops: descriptors are never
// inherited by the programs this one starts (O_CLOEXEC), Windows has no
// symbolic links under a work folder this program follows, and O_DSYNC
// writes are followed by fdatasync where they must be durable.

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

// Every descriptor this program opens carries O_CLOEXEC: on Windows it
// also keeps the bytes as they are (no text-mode line ends).
#ifndef O_CLOEXEC
#define O_CLOEXEC (_O_NOINHERIT | _O_BINARY)
#endif
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif
#ifndef O_DSYNC
#define O_DSYNC 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifndef O_NOCTTY
#define O_NOCTTY 0
#endif
#ifndef S_ISLNK
#define S_ISLNK(m) 0
#endif

// Positioned reads and writes: the file position is left where it was.
ssize_t pread(int fd, void* pData, size_t nBytes, off_t qwOffset);
ssize_t pwrite(int fd, const void* pData, size_t nBytes, off_t qwOffset);
// FlushFileBuffers: data and metadata alike.
int fsync(int fd);
int fdatasync(int fd);
// The absolute path, or null with errno (ENOENT when nothing is there).
char* realpath(const char* pszPath, char* pszResolved);
// stat as POSIX has it: the C runtime's refuses a folder named with a
// trailing separator ("D:/work/"), which every target path has.
#undef stat
struct StratavonStat : public _stat64 {};
int StratavonStat(const char* pszPath, struct StratavonStat* pStat);
#define stat StratavonStat
// Windows has no links to leave unfollowed.
inline int lstat(const char* pszPath, struct stat* pStat) { return stat(pszPath, pStat); }

// The C runtime knows SIGINT, SIGTERM and SIGBREAK; a closed console
// window arrives as the hang-up (SignalWatch_win.cpp).
#include <csignal>
#ifndef SIGHUP
#define SIGHUP 1
#endif

// The environment and temporary folders as POSIX has them.
int setenv(const char* pszName, const char* pszValue, int nOverwrite);
int unsetenv(const char* pszName);
// Replaces the template's trailing XXXXXX and makes the folder; null with errno.
char* mkdtemp(char* pszTemplate);
