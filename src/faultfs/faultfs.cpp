// stratavon-faultfs: a pass-through FUSE file system over a backing folder
// that fails, shortens, corrupts, stalls, drops or misdirects chosen reads
// and writes, to show that the workers notice what real media do to them,
// and that can hold writes in a volatile cache that a power cut empties.
//
//   stratavon-faultfs <backing-dir> <mountpoint> [fuse options, e.g. -f]
//
// Rules are armed by writing control text (see FaultRules.h) to
// <mountpoint>/.faultfs; close() fails with EINVAL when the text is bad, and
// reading the file returns the rules with their counters.  The control file
// is left out of directory listings so it never looks like a work file.

#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <fuse_lowlevel.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "FaultRules.h"

namespace stratavon {
namespace {

constexpr char kControlPath[] = "/.faultfs";
constexpr char kControlName[] = ".faultfs";
constexpr size_t kControlLimit = 1 << 20;  // more control text than this is a runaway writer

int g_nBacking = -1;
CFaultTable g_faults;
struct fuse* g_pFuse = nullptr;

// What fi->fh points at.  Work files keep the path they were opened under:
// once unlinked, the library no longer passes one with reads and writes.
struct OpenFile {
  OpenFile() = default;
  ~OpenFile() {
    if (fd >= 0) close(fd);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  int fd = -1;  // backing file; -1 for the control file
  std::string path;
  std::mutex mutex;    // the control buffers below
  std::string input;   // control text written since the last flush
  bool bDirty = false;
  std::string output;  // the report, taken when the control file was opened
};

// Every handle given to the kernel. The kernel sends no release for files
// still open when the mount is torn down (a lazy unmount with a caller that
// kept its descriptor), so the handles left are freed when the file system ends.
class COpenFiles {
 public:
  uint64_t Add(std::unique_ptr<OpenFile> pFile) {
    OpenFile* p = pFile.get();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_files.emplace(p, std::move(pFile));
    return reinterpret_cast<uint64_t>(p);
  }
  void Release(OpenFile* pFile) {
    std::unique_ptr<OpenFile> pReleased;  // closed outside the lock
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_files.find(pFile);
    if (it == m_files.end()) return;
    pReleased = std::move(it->second);
    m_files.erase(it);
  }
  void ReleaseAll() {
    std::unordered_map<OpenFile*, std::unique_ptr<OpenFile>> files;
    std::lock_guard<std::mutex> lock(m_mutex);
    files.swap(m_files);
  }

 private:
  std::mutex m_mutex;
  std::unordered_map<OpenFile*, std::unique_ptr<OpenFile>> m_files;
};
COpenFiles g_openFiles;

OpenFile* FileOf(const fuse_file_info* fi) { return fi ? reinterpret_cast<OpenFile*>(fi->fh) : nullptr; }

bool IsControl(const char* path) { return path && std::strcmp(path, kControlPath) == 0; }

std::string Rel(const char* path) {
  while (*path == '/') ++path;
  return *path ? std::string(path) : std::string(".");
}

int Result(int nRet) { return nRet < 0 ? -errno : 0; }

bool SessionExited() { return g_pFuse && fuse_session_exited(fuse_get_session(g_pFuse)); }

ssize_t PreadFull(int fd, char* pBuffer, size_t nBytes, off_t off) {
  size_t nDone = 0;
  while (nDone < nBytes) {
    ssize_t n = pread(fd, pBuffer + nDone, nBytes - nDone, off + static_cast<off_t>(nDone));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return nDone ? static_cast<ssize_t>(nDone) : -1;
    if (n == 0) break;
    nDone += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(nDone);
}

ssize_t PwriteFull(int fd, const char* pBuffer, size_t nBytes, off_t off) {
  size_t nDone = 0;
  while (nDone < nBytes) {
    ssize_t n = pwrite(fd, pBuffer + nDone, nBytes - nDone, off + static_cast<off_t>(nDone));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return nDone ? static_cast<ssize_t>(nDone) : -1;
    nDone += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(nDone);
}

void ControlAttr(struct stat* st) {
  *st = {};
  st->st_mode = S_IFREG | 0600;
  st->st_nlink = 1;
  st->st_uid = getuid();
  st->st_gid = getgid();
  st->st_mtime = st->st_ctime = st->st_atime = std::time(nullptr);
}

int OpenControl(fuse_file_info* fi) {
  auto pFile = std::make_unique<OpenFile>();
  pFile->path = kControlPath;
  if ((fi->flags & O_ACCMODE) != O_WRONLY) pFile->output = g_faults.Report();
  fi->fh = g_openFiles.Add(std::move(pFile));
  fi->direct_io = 1;  // the size is unknown until read; let reads reach us
  return 0;
}

int ReadControl(OpenFile* pFile, char* pBuffer, size_t nBytes, off_t off) {
  std::lock_guard<std::mutex> lock(pFile->mutex);
  size_t nAt = static_cast<size_t>(off);
  if (off < 0 || nAt >= pFile->output.size()) return 0;
  size_t n = std::min(nBytes, pFile->output.size() - nAt);
  std::memcpy(pBuffer, pFile->output.data() + nAt, n);
  return static_cast<int>(n);
}

int WriteControl(OpenFile* pFile, const char* pBuffer, size_t nBytes, off_t off) {
  std::lock_guard<std::mutex> lock(pFile->mutex);
  size_t nAt = static_cast<size_t>(off);
  if (off < 0 || nAt > kControlLimit || nBytes > kControlLimit - nAt) return -EFBIG;
  if (pFile->input.size() < nAt + nBytes) pFile->input.resize(nAt + nBytes);
  std::memcpy(pFile->input.data() + nAt, pBuffer, nBytes);
  pFile->bDirty = true;
  // Check the complete lines now, so that `echo bad > .faultfs` reports the
  // error too (shells ignore what close() says).
  std::string szError;
  size_t nLines = pFile->input.rfind('\n');
  if (nLines != std::string::npos && !g_faults.Apply(pFile->input.substr(0, nLines + 1), &szError, true)) {
    std::fprintf(stderr, "stratavon-faultfs: control text rejected: %s\n", szError.c_str());
    pFile->input.clear();
    pFile->bDirty = false;
    return -EINVAL;
  }
  return static_cast<int>(nBytes);
}

// Rules take effect at close(), which waits for this answer, so a test that
// armed a rule can rely on it for its very next request.
int FlushControl(OpenFile* pFile) {
  std::lock_guard<std::mutex> lock(pFile->mutex);
  if (!pFile->bDirty) return 0;
  std::string text;
  text.swap(pFile->input);
  pFile->bDirty = false;
  std::string szError;
  if (!g_faults.Apply(text, &szError)) {
    std::fprintf(stderr, "stratavon-faultfs: control text rejected: %s\n", szError.c_str());
    return -EINVAL;
  }
  return 0;
}

int OnGetattr(const char* path, struct stat* st, fuse_file_info* fi) {
  OpenFile* pFile = FileOf(fi);
  if (pFile && pFile->fd >= 0) return Result(fstat(pFile->fd, st));
  if (pFile || IsControl(path)) {
    ControlAttr(st);
    return 0;
  }
  if (!path) return -ESTALE;
  return Result(fstatat(g_nBacking, Rel(path).c_str(), st, AT_SYMLINK_NOFOLLOW));
}

int OnReaddir(const char* path, void* pBuffer, fuse_fill_dir_t pfnFill, off_t, fuse_file_info*,
              fuse_readdir_flags) {
  int fd = openat(g_nBacking, Rel(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -errno;
  DIR* pDir = fdopendir(fd);
  if (!pDir) {
    int nErr = errno;
    close(fd);
    return -nErr;
  }
  bool bRoot = std::strcmp(path, "/") == 0;
  while (dirent* pEntry = readdir(pDir)) {
    if (bRoot && std::strcmp(pEntry->d_name, kControlName) == 0) continue;
    struct stat st = {};
    st.st_ino = pEntry->d_ino;
    st.st_mode = DTTOIF(pEntry->d_type);
    if (pfnFill(pBuffer, pEntry->d_name, &st, 0, static_cast<fuse_fill_dir_flags>(0))) break;
  }
  closedir(pDir);
  return 0;
}

int OnMkdir(const char* path, mode_t mode) { return Result(mkdirat(g_nBacking, Rel(path).c_str(), mode)); }

int OnUnlink(const char* path) {
  if (IsControl(path)) return -EPERM;
  return Result(unlinkat(g_nBacking, Rel(path).c_str(), 0));
}

int OnRmdir(const char* path) { return Result(unlinkat(g_nBacking, Rel(path).c_str(), AT_REMOVEDIR)); }

int OnRename(const char* from, const char* to, unsigned int flags) {
  if (IsControl(from) || IsControl(to)) return -EPERM;
  return Result(renameat2(g_nBacking, Rel(from).c_str(), g_nBacking, Rel(to).c_str(), flags));
}

int OnChmod(const char* path, mode_t mode, fuse_file_info* fi) {
  OpenFile* pFile = FileOf(fi);
  if (pFile && pFile->fd >= 0) return Result(fchmod(pFile->fd, mode));
  if (pFile || IsControl(path)) return 0;
  return Result(fchmodat(g_nBacking, Rel(path).c_str(), mode, 0));
}

int OnChown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
  OpenFile* pFile = FileOf(fi);
  if (pFile && pFile->fd >= 0) return Result(fchown(pFile->fd, uid, gid));
  if (pFile || IsControl(path)) return 0;
  return Result(fchownat(g_nBacking, Rel(path).c_str(), uid, gid, AT_SYMLINK_NOFOLLOW));
}

// A size change goes through the cache first, so no cached write lands
// beyond the new end or is cut by it.
int TruncateThrough(int fd, off_t size) {
  if (g_faults.Cache().Enabled()) {
    if (int nError = g_faults.Cache().Flush(fd, true)) return -nError;
  }
  return Result(ftruncate(fd, size));
}

int OnTruncate(const char* path, off_t size, fuse_file_info* fi) {
  OpenFile* pFile = FileOf(fi);
  if (pFile && pFile->fd >= 0) return TruncateThrough(pFile->fd, size);
  if (pFile || IsControl(path)) return 0;  // O_TRUNC on the control file
  int fd = openat(g_nBacking, Rel(path).c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return -errno;
  int nRet = TruncateThrough(fd, size);
  close(fd);
  return nRet;
}

int OnUtimens(const char* path, const struct timespec ts[2], fuse_file_info* fi) {
  OpenFile* pFile = FileOf(fi);
  if (pFile && pFile->fd >= 0) return Result(futimens(pFile->fd, ts));
  if (pFile || IsControl(path)) return 0;
  return Result(utimensat(g_nBacking, Rel(path).c_str(), ts, AT_SYMLINK_NOFOLLOW));
}

// The backing folder is scratch space whose caching does not matter, and it
// may sit on a file system that refuses O_DIRECT; what counts is that the
// caller's requests reach us whole, which direct_io on the FUSE side does.
int OpenBacking(const char* path, int nFlags, mode_t mode, fuse_file_info* fi) {
  int fd = openat(g_nBacking, Rel(path).c_str(), (nFlags & ~O_DIRECT) | O_CLOEXEC, mode);
  if (fd < 0) return -errno;
  auto pFile = std::make_unique<OpenFile>();
  pFile->fd = fd;
  pFile->path = path;
  fi->fh = g_openFiles.Add(std::move(pFile));
  fi->direct_io = 1;
  fi->keep_cache = 0;
  return 0;
}

int OnOpen(const char* path, fuse_file_info* fi) {
  if (IsControl(path)) return OpenControl(fi);
  return OpenBacking(path, fi->flags, 0, fi);
}

int OnCreate(const char* path, mode_t mode, fuse_file_info* fi) {
  if (IsControl(path)) return OpenControl(fi);
  return OpenBacking(path, fi->flags | O_CREAT, mode, fi);
}

int OnRead(const char* path, char* pBuffer, size_t nBytes, off_t off, fuse_file_info* fi) {
  OpenFile* pFile = FileOf(fi);
  if (pFile->fd < 0) return ReadControl(pFile, pBuffer, nBytes, off);
  FaultVerdict verdict =
      g_faults.Consult(path ? path : pFile->path, EFaultOp::Read, static_cast<uint64_t>(off), nBytes);
  if (verdict.error) return -verdict.error;
  const size_t nWant = static_cast<size_t>(std::min<uint64_t>(nBytes, verdict.limit));
  size_t nDone = 0;
  while (nDone < nWant) {
    uint64_t qwAt = 0;
    const size_t nPiece = StoredPiece(verdict, static_cast<uint64_t>(off) + nDone, nWant - nDone, &qwAt);
    ssize_t nGot = PreadFull(pFile->fd, pBuffer + nDone, nPiece, static_cast<off_t>(qwAt));
    if (nGot < 0) return -errno;
    nGot = static_cast<ssize_t>(
        g_faults.Cache().Overlay(pFile->fd, pBuffer + nDone, nPiece, qwAt, static_cast<size_t>(nGot)));
    nDone += static_cast<size_t>(nGot);
    if (static_cast<size_t>(nGot) < nPiece) break;
  }
  ApplyCorruptions(verdict, static_cast<uint64_t>(off), pBuffer, nDone);
  return static_cast<int>(nDone);
}

int OnWrite(const char* path, const char* pBuffer, size_t nBytes, off_t off, fuse_file_info* fi) {
  OpenFile* pFile = FileOf(fi);
  if (pFile->fd < 0) return WriteControl(pFile, pBuffer, nBytes, off);
  FaultVerdict verdict =
      g_faults.Consult(path ? path : pFile->path, EFaultOp::Write, static_cast<uint64_t>(off), nBytes);
  if (verdict.error) return -verdict.error;
  size_t nWant = static_cast<size_t>(std::min<uint64_t>(nBytes, verdict.limit));
  if (verdict.bDrop) return static_cast<int>(nWant);
  if (verdict.moveTo != UINT64_MAX) off = static_cast<off_t>(verdict.moveTo);
  std::vector<char> altered;
  if (!verdict.corruptions.empty()) {
    altered.assign(pBuffer, pBuffer + nWant);
    ApplyCorruptions(verdict, static_cast<uint64_t>(off), altered.data(), nWant);
    pBuffer = altered.data();
  }
  size_t nDone = 0;
  while (nDone < nWant) {
    uint64_t qwAt = 0;
    const size_t nPiece = StoredPiece(verdict, static_cast<uint64_t>(off) + nDone, nWant - nDone, &qwAt);
    int nCacheError = 0;
    if (g_faults.Cache().Write(pFile->fd, pBuffer + nDone, nPiece, qwAt, &nCacheError)) {
      if (nCacheError != 0) return -nCacheError;
      nDone += nPiece;
      continue;
    }
    const ssize_t nPut = PwriteFull(pFile->fd, pBuffer + nDone, nPiece, static_cast<off_t>(qwAt));
    if (nPut < 0) return nDone != 0 ? static_cast<int>(nDone) : -errno;
    nDone += static_cast<size_t>(nPut);
    if (static_cast<size_t>(nPut) < nPiece) break;
  }
  return static_cast<int>(nDone);
}

int OnStatfs(const char*, struct statvfs* st) { return Result(fstatvfs(g_nBacking, st)); }

int OnFlush(const char*, fuse_file_info* fi) {
  OpenFile* pFile = FileOf(fi);
  return pFile->fd < 0 ? FlushControl(pFile) : 0;
}

int OnRelease(const char*, fuse_file_info* fi) {
  g_openFiles.Release(FileOf(fi));
  return 0;
}

int OnFsync(const char* path, int nDataOnly, fuse_file_info* fi) {
  OpenFile* pFile = FileOf(fi);
  if (pFile->fd < 0) return 0;
  FaultVerdict verdict = g_faults.Consult(path ? path : pFile->path, EFaultOp::Flush, 0, 0);
  if (verdict.error) return -verdict.error;
  if (verdict.bLieFlush) return 0;
  return -g_faults.Cache().Flush(pFile->fd, nDataOnly != 0);
}

int OnFallocate(const char*, int nMode, off_t off, off_t len, fuse_file_info* fi) {
  OpenFile* pFile = FileOf(fi);
  if (!pFile || pFile->fd < 0) return -EOPNOTSUPP;
  return Result(fallocate(pFile->fd, nMode, off, len));
}

void* OnInit(fuse_conn_info* conn, fuse_config* cfg) {
  // Sizes and names change behind the mount (tests inspect and edit the
  // backing files), so nothing may be cached.
  cfg->attr_timeout = 0;
  cfg->entry_timeout = 0;
  cfg->negative_timeout = 0;
  cfg->kernel_cache = 0;
  cfg->use_ino = 1;
  cfg->hard_remove = 1;  // handles keep their own descriptor, no .fuse_hidden files
  conn->max_background = 64;
  conn->congestion_threshold = 48;
  g_pFuse = fuse_get_context()->fuse;
  g_faults.SetAbandonCheck(&SessionExited);
  return nullptr;
}

// Every request has been answered by now: the library has joined its threads.
void OnDestroy(void*) {
  g_faults.Shutdown();
  g_openFiles.ReleaseAll();
}

fuse_operations MakeOperations() {
  fuse_operations ops = {};
  ops.getattr = OnGetattr;
  ops.readdir = OnReaddir;
  ops.mkdir = OnMkdir;
  ops.unlink = OnUnlink;
  ops.rmdir = OnRmdir;
  ops.rename = OnRename;
  ops.chmod = OnChmod;
  ops.chown = OnChown;
  ops.truncate = OnTruncate;
  ops.utimens = OnUtimens;
  ops.open = OnOpen;
  ops.create = OnCreate;
  ops.read = OnRead;
  ops.write = OnWrite;
  ops.statfs = OnStatfs;
  ops.flush = OnFlush;
  ops.release = OnRelease;
  ops.fsync = OnFsync;
  ops.fallocate = OnFallocate;
  ops.init = OnInit;
  ops.destroy = OnDestroy;
  return ops;
}

}  // namespace
}  // namespace stratavon

int main(int argc, char** argv) {
  using namespace stratavon;
  if (argc < 3 || argv[1][0] == '-' || argv[2][0] == '-') {
    std::fprintf(stderr,
                 "usage: %s <backing-dir> <mountpoint> [fuse options]\n"
                 "Control text goes to <mountpoint>/.faultfs, one command a line:\n"
                 "  add op=read|write|flush [name=SUFFIX] [off=N] [len=N] [skip=N] [times=N|forever]\n"
                 "      error=ERRNO | short=N | corrupt[=XORMASK] | stall=MS|forever | drop | moveto=N | lie-flush\n"
                 "  disarm INDEX\n"
                 "  clear\n"
                 "  cache on [limit=N] | cache off\n"
                 "  powercut [tear[=N]]\n",
                 argv[0]);
    return 2;
  }
  umask(0);  // the kernel already applied the caller's umask to every mode we get
  g_nBacking = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (g_nBacking < 0) {
    std::fprintf(stderr, "stratavon-faultfs: cannot open %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  // The product runs up to 50 workers per target and stalled requests hold a
  // thread each; the library's default of 10 threads would starve them.
  static char szOpt[] = "-o";
  // (max_idle_threads is given only to keep libfuse 3.14 from complaining
  // about its own default.)
  static char szThreads[] = "max_threads=256,max_idle_threads=16";
  std::vector<char*> args = {argv[0], argv[2], szOpt, szThreads};
  for (int n = 3; n < argc; ++n) args.push_back(argv[n]);
  args.push_back(nullptr);
  fuse_operations ops = MakeOperations();
  int nRet = fuse_main(static_cast<int>(args.size()) - 1, args.data(), &ops, nullptr);
  close(g_nBacking);
  return nRet;
}
