// Work files on Windows: CreateFile with FILE_FLAG_NO_BUFFERING (the
// direct I/O of Windows: whole sectors at sector offsets, from aligned
// buffers), FILE_FLAG_SEQUENTIAL_SCAN (the read-ahead advice) and
// FILE_FLAG_OVERLAPPED, so the asynchronous engines' queue can use the same
// handle. Every transfer is positioned; the handle's file pointer is kept at
// this object's position so that lseek on Handle() tells it as on Linux.
// Handle() is a C runtime descriptor over the handle (_open_osfhandle).

#include <windows.h>
#undef GetDiskFreeSpace
#undef CreateDirectory
#undef INVALID_HANDLE_VALUE  // WorkFile.h's is the closed descriptor, -1

#include <io.h>

#include <utility>

#include "platform/DiskSpace.h"
#include "platform/SystemError.h"
#include "platform/WinError_win.h"
#include "platform/WorkFile.h"

namespace stratavon {
namespace {

const HANDLE kNoHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

HANDLE OsHandle(int hFile) { return reinterpret_cast<HANDLE>(_get_osfhandle(hFile)); }

bool SetLength(HANDLE hFile, uint64_t qwBytes) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(qwBytes);
  return SetFileInformationByHandle(hFile, FileEndOfFileInfo, &end, sizeof end) != 0;
}

bool SetPointer(HANDLE hFile, uint64_t qwOffset) {
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(qwOffset);
  return SetFilePointerEx(hFile, at, nullptr, FILE_BEGIN) != 0;
}

}  // namespace

bool CWorkFile::Create(const std::string& szRoot, const std::string& szPath, uint64_t qwLayoutBytes) {
  if (!StartCreate(szRoot, szPath)) return false;
  // Every folder below the root must be a real folder, not a junction or a
  // link, and an existing name a plain file: nothing else is opened.
  const std::string szRest = szPath.substr(szRoot.size());
  for (size_t nSep = 0; (nSep = szRest.find_first_of("/\\", nSep)) != std::string::npos; ++nSep) {
    if (nSep == 0) continue;
    const std::string szWhere = szRoot + szRest.substr(0, nSep);
    const DWORD dwAttributes = GetFileAttributesA(szWhere.c_str());
    if (dwAttributes == INVALID_FILE_ATTRIBUTES) return SetErrnoFromLastError(), RefuseErrno(szWhere);
    if (!(dwAttributes & FILE_ATTRIBUTE_DIRECTORY) || (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      return Refuse(szWhere, (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? "is a link, not a directory; left untouched"
                                                                           : "is a file, not a directory; left untouched",
                    ENOTDIR);
    }
  }
  const DWORD dwExisting = GetFileAttributesA(szPath.c_str());
  if (dwExisting != INVALID_FILE_ATTRIBUTES &&
      ((dwExisting & FILE_ATTRIBUTE_DIRECTORY) || (dwExisting & FILE_ATTRIBUTE_REPARSE_POINT) ||
       (dwExisting & FILE_ATTRIBUTE_DEVICE))) {
    return Refuse(szPath,
                  (dwExisting & FILE_ATTRIBUTE_DIRECTORY) ? "is a directory, not a regular file; left untouched"
                                                          : "is a link or a device, not a regular file; left untouched",
                  (dwExisting & FILE_ATTRIBUTE_DIRECTORY) ? EISDIR : EINVAL);
  }
  HANDLE hFile = CreateFileA(szPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN |
                                 FILE_FLAG_OVERLAPPED | FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr);
  if (hFile == kNoHandle) return SetErrnoFromLastError(), RefuseErrno(szPath);
  const auto Drop = [&](const std::string& szWhy, int nError) {
    CloseHandle(hFile);
    return Refuse(szPath, szWhy, nError);
  };
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(hFile, &info)) return Drop(FormatSystemMessage(ErrnoFromWin32(GetLastError())), EIO);
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
    return Drop("is not a regular file; left untouched", EINVAL);
  }
  if (info.nNumberOfLinks > 1) {
    return Drop("has " + std::to_string(info.nNumberOfLinks) + " names (hard links); left untouched", EMLINK);
  }
  const uint64_t qwSize = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  const bool bReuse = qwLayoutBytes != 0 && qwSize == qwLayoutBytes;
  if (!bReuse && qwSize != 0 && !SetLength(hFile, 0)) return Drop(FormatSystemMessage(ErrnoFromWin32(GetLastError())), EIO);
  // The layout: the file at its final size before any measured I/O, so the
  // writes do not grow it; what lies past the valid data reads as zeros.
  if (qwLayoutBytes != 0 && !bReuse && !SetLength(hFile, qwLayoutBytes)) {
    const int nError = ErrnoFromWin32(GetLastError());
    return Drop(FormatSystemMessage(nError), nError);
  }
  // Windows refuses unbuffered transfers of part of a sector; Wine and some
  // file systems would take them from the cache, so this class refuses them
  // itself, as the system would.
  DiskSpaceInfo disk;
  m_dwSilentAlign = GetDiskFreeSpace(szRoot, disk) ? disk.dwBytesPerSector : 512;
  const int hDescriptor = _open_osfhandle(reinterpret_cast<intptr_t>(hFile), 0);
  if (hDescriptor < 0) return Drop(FormatSystemMessage(EMFILE), EMFILE);
  m_qwLaidOut = qwLayoutBytes;
  m_qwPosition = 0;
  m_qwWrittenEnd = 0;
  m_hFile = hDescriptor;
  return true;
}

bool CWorkFile::OpenDevice(const std::string& szNode, bool) {
  Close();
  return Refuse(szNode, "disk and partition targets are not supported on Windows", ENOSYS);
}

void CWorkFile::Close() {
  if (m_hFile != INVALID_HANDLE_VALUE) {
    // Left as the run alone would have left it: as long as what it wrote.
    if (m_qwWrittenEnd < m_qwLaidOut) (void)SetLength(OsHandle(m_hFile), m_qwWrittenEnd);
    m_qwLaidOut = 0;
    _close(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
  }
}

ssize_t CWorkFile::Read(void* pData, size_t nBytes) {
  if (MisalignedError(nBytes, m_qwPosition) != 0) {
    errno = EINVAL;
    return -1;
  }
  const ssize_t n = pread(m_hFile, pData, nBytes, static_cast<off_t>(m_qwPosition));
  if (n > 0) {
    m_qwPosition += static_cast<uint64_t>(n);
    SetPointer(OsHandle(m_hFile), m_qwPosition);
  }
  return n;
}

ssize_t CWorkFile::Write(const void* pData, size_t nBytes) {
  if (MisalignedError(nBytes, m_qwPosition) != 0) {
    errno = EINVAL;
    return -1;
  }
  const ssize_t n = pwrite(m_hFile, pData, nBytes, static_cast<off_t>(m_qwPosition));
  if (n > 0) {
    m_qwPosition += static_cast<uint64_t>(n);
    NoteWritten(m_qwPosition);
    SetPointer(OsHandle(m_hFile), m_qwPosition);
  }
  return n;
}

bool CWorkFile::Seek(uint64_t qwOffset) {
  if (!SetPointer(OsHandle(m_hFile), qwOffset)) return SetErrnoFromLastError();
  m_qwPosition = qwOffset;
  return true;
}

}  // namespace stratavon
