#include "platform/WorkFile.h"

#include "platform/AlignedBuffer.h"
#include "platform/DiskSpace.h"
#include "platform/SystemError.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace stratavon {

namespace {

// A descriptor that closes itself.
class CDescriptor {
 public:
  explicit CDescriptor(int h = -1) : m_h(h) {}
  ~CDescriptor() {
    if (m_h >= 0) close(m_h);
  }
  CDescriptor(const CDescriptor&) = delete;
  CDescriptor& operator=(const CDescriptor&) = delete;
  void Reset(int h) {
    if (m_h >= 0) close(m_h);
    m_h = h;
  }
  int Get() const { return m_h; }
  int Release() { return std::exchange(m_h, -1); }

 private:
  int m_h;
};

int OpenAt(int hDir, const char* szName, int nFlags, mode_t mode = 0) {
  int h;
  do {
    h = openat(hDir, szName, nFlags | O_CLOEXEC | O_NOCTTY, mode);
  } while (h < 0 && errno == EINTR);
  return h;
}

// Files up to this size are written through once when laid out; larger ones
// (spans) are only allocated, so that a start-up never writes gigabytes.
constexpr uint64_t kWriteThroughBytes = 64ull << 20;
constexpr size_t kLayOutChunk = 1u << 20;

// FUSE passes the layout's writes to its daemon like any others (a fault
// injector counts them): nothing is laid out there.
constexpr long kFuseMagic = 0x65735546;

bool WriteZeros(int hFile, uint64_t qwBytes) {
  CAlignedBuffer zeros;
  if (!zeros.Allocate(static_cast<size_t>(std::min<uint64_t>(qwBytes, kLayOutChunk)))) return false;
  std::memset(zeros.Data(), 0, zeros.Size());
  for (uint64_t qwAt = 0; qwAt < qwBytes;) {
    const size_t nBytes = static_cast<size_t>(std::min<uint64_t>(zeros.Size(), qwBytes - qwAt));
    const ssize_t n = pwrite(hFile, zeros.Data(), nBytes, static_cast<off_t>(qwAt));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    qwAt += static_cast<uint64_t>(n);
  }
  return true;
}

// Lays a work file out at qwBytes before the run measures anything. A file
// the run grows with many direct writes in flight at once gets its blocks
// in the order the writes happen to land, scattered over many extents, and
// every write that grows it, or lands in blocks that are allocated but not
// yet written, takes the slow path of the file system (ext4 serialises
// them on the inode and hands them to kernel workers). So: one allocation
// of the whole size, then one sequential write of zeros through it (up to
// kWriteThroughBytes; larger files are allocated only, or zeroed in place
// when they are reused). A reused file (bReuse: it has the size already)
// keeps its blocks and is zeroed, so that nothing of an earlier run is left
// in it. A file system that cannot allocate ahead gets no layout: the file
// is left empty, as it would be without one. False (errno set) when the
// space is not there, or the file could not be put back to empty.
bool LayOut(int hFile, uint64_t qwBytes, bool bReuse, bool* pbLaidOut) {
  *pbLaidOut = false;
  const off_t nBytes = static_cast<off_t>(qwBytes);
  bool bAllocated = bReuse;
  if (!bAllocated) {
    int nResult;
    do {
      nResult = fallocate(hFile, 0, 0, nBytes);
    } while (nResult != 0 && errno == EINTR);
    bAllocated = nResult == 0;
    // The space is not there (other work files took it since the start-up
    // checked): said now, not by a write in the middle of the run.
    if (!bAllocated && errno == ENOSPC) {
      (void)ftruncate(hFile, 0);
      errno = ENOSPC;
      return false;
    }
  }
  bool bZeroed = false;
  if (bAllocated) {
    bZeroed = qwBytes <= kWriteThroughBytes ? WriteZeros(hFile, qwBytes)
                                             : !bReuse || fallocate(hFile, FALLOC_FL_ZERO_RANGE, 0, nBytes) == 0;
  }
  if (bZeroed) {
    *pbLaidOut = true;
    return true;
  }
  return ftruncate(hFile, 0) == 0;
}

}  // namespace

bool CWorkFile::Create(const std::string& szRoot, const std::string& szPath, uint64_t qwLayoutBytes) {
  if (!StartCreate(szRoot, szPath)) return false;
  // The root is the operator's choice and may itself be reached through
  // links; below it nothing is.
  CDescriptor dir(OpenAt(AT_FDCWD, szRoot.c_str(), O_PATH | O_DIRECTORY));
  if (dir.Get() < 0) return RefuseErrno(szRoot);

  std::string szRest = szPath.substr(szRoot.size());
  for (size_t nSlash; (nSlash = szRest.find('/')) != std::string::npos; szRest.erase(0, nSlash + 1)) {
    if (nSlash == 0) continue;
    const std::string szPart = szRest.substr(0, nSlash);
    const int hNext = OpenAt(dir.Get(), szPart.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW);
    if (hNext < 0) {
      const int nError = errno;
      struct stat st {};
      const std::string szWhere = szPath.substr(0, szPath.size() - szRest.size() + nSlash);
      if (fstatat(dir.Get(), szPart.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)) {
        return Refuse(szWhere, std::string("is ") + FileTypeWords(st.st_mode) + ", not a directory; left untouched",
                      ENOTDIR);
      }
      return Refuse(szWhere, FormatSystemMessage(nError), nError);
    }
    dir.Reset(hNext);
  }

  // An existing name is examined before it is opened: a device or a FIFO is
  // never opened at all, and a file with a second name (a planted hard link)
  // is never truncated.
  const char* szName = szRest.c_str();
  constexpr int kFlags = O_RDWR | O_DIRECT | O_NOFOLLOW | O_NONBLOCK;
  CDescriptor file(OpenAt(dir.Get(), szName, kFlags | O_CREAT | O_EXCL, 0644));
  if (file.Get() < 0 && errno == EEXIST) {
    struct stat st {};
    if (fstatat(dir.Get(), szName, &st, AT_SYMLINK_NOFOLLOW) != 0) return RefuseErrno(szPath);
    if (!S_ISREG(st.st_mode)) {
      return Refuse(szPath, std::string("is ") + FileTypeWords(st.st_mode) + ", not a regular file; left untouched",
                    S_ISLNK(st.st_mode) ? ELOOP : EINVAL);
    }
    file.Reset(OpenAt(dir.Get(), szName, kFlags));
  }
  if (file.Get() < 0) return RefuseErrno(szPath);
  // Checked again on the open file: the name may have changed hands meanwhile.
  struct stat st {};
  if (fstat(file.Get(), &st) != 0) return RefuseErrno(szPath);
  if (!S_ISREG(st.st_mode)) {
    return Refuse(szPath, std::string("is ") + FileTypeWords(st.st_mode) + ", not a regular file; left untouched",
                  EINVAL);
  }
  if (st.st_nlink > 1) {
    return Refuse(szPath, "has " + std::to_string(st.st_nlink) + " names (hard links); left untouched", EMLINK);
  }
  struct statfs fs {};
  if (qwLayoutBytes != 0 && fstatfs(file.Get(), &fs) == 0 && static_cast<long>(fs.f_type) == kFuseMagic) {
    qwLayoutBytes = 0;
  }
  const bool bReuse = qwLayoutBytes != 0 && static_cast<uint64_t>(st.st_size) == qwLayoutBytes;
  if (!bReuse && st.st_size != 0 && ftruncate(file.Get(), 0) != 0) return RefuseErrno(szPath);
  // Back to blocking I/O: some paths (io_uring among them) honour O_NONBLOCK
  // on regular files with -EAGAIN.
  const int nStatus = fcntl(file.Get(), F_GETFL);
  if (nStatus < 0 || fcntl(file.Get(), F_SETFL, nStatus & ~O_NONBLOCK) != 0) {
    return RefuseErrno(szPath);
  }
  // Advice only; a file system that ignores it loses nothing.
  (void)posix_fadvise(file.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  bool bSilent = false;
  const uint32_t dwAlign = DirectIoAlignment(file.Get(), &bSilent);
  m_dwSilentAlign = bSilent ? dwAlign : 0;
  bool bLaidOut = false;
  if (qwLayoutBytes != 0 && !LayOut(file.Get(), qwLayoutBytes, bReuse, &bLaidOut)) return RefuseErrno(szPath);
  m_qwLaidOut = bLaidOut ? qwLayoutBytes : 0;
  m_qwPosition = 0;
  m_qwWrittenEnd = 0;
  m_hFile = file.Release();
  return true;
}

bool CWorkFile::OpenDevice(const std::string& szNode, bool bWritable) {
  Close();
  m_szFailure.clear();
  CDescriptor device(open(szNode.c_str(), (bWritable ? O_RDWR : O_RDONLY) | O_DIRECT | O_CLOEXEC));
  if (device.Get() < 0) return RefuseErrno(szNode);
  struct stat st {};
  if (fstat(device.Get(), &st) != 0) return RefuseErrno(szNode);
  if (!S_ISBLK(st.st_mode)) {
    return Refuse(szNode, std::string("is ") + FileTypeWords(st.st_mode) + ", not a block device; left untouched",
                  ENOTBLK);
  }
  m_dwSilentAlign = 0;
  m_hFile = device.Release();
  return true;
}

void CWorkFile::Close() {
  if (m_hFile != INVALID_HANDLE_VALUE) {
    // Left as the run alone would have left it: as long as what it wrote.
    if (m_qwWrittenEnd < m_qwLaidOut) (void)ftruncate(m_hFile, static_cast<off_t>(m_qwWrittenEnd));
    m_qwLaidOut = 0;
    close(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
  }
}

ssize_t CWorkFile::Read(void* pData, size_t nBytes) {
  if (m_dwSilentAlign != 0 && nBytes % m_dwSilentAlign != 0) {
    errno = EINVAL;
    return -1;
  }
  ssize_t n;
  do {
    n = read(m_hFile, pData, nBytes);
  } while (n < 0 && errno == EINTR);
  if (n > 0) m_qwPosition += static_cast<uint64_t>(n);
  return n;
}

ssize_t CWorkFile::Write(const void* pData, size_t nBytes) {
  if (m_dwSilentAlign != 0 && nBytes % m_dwSilentAlign != 0) {
    errno = EINVAL;
    return -1;
  }
  ssize_t n;
  do {
    n = write(m_hFile, pData, nBytes);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    m_qwPosition += static_cast<uint64_t>(n);
    NoteWritten(m_qwPosition);
  }
  return n;
}

bool CWorkFile::Seek(uint64_t qwOffset) {
  if (lseek(m_hFile, static_cast<off_t>(qwOffset), SEEK_SET) < 0) return false;
  m_qwPosition = qwOffset;
  return true;
}

}  // namespace stratavon
