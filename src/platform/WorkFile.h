#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace stratavon {

constexpr int INVALID_HANDLE_VALUE = -1;

// A work file opened for direct I/O: created or truncated, read and written
// at the file position, closed when the object goes. Calls return what the
// system returns (-1 with errno on failure), so a caller can classify.
class CWorkFile {
 public:
  CWorkFile() = default;
  ~CWorkFile() { Close(); }
  CWorkFile(CWorkFile&& other) noexcept;
  CWorkFile& operator=(CWorkFile&& other) noexcept;
  CWorkFile(const CWorkFile&) = delete;
  CWorkFile& operator=(const CWorkFile&) = delete;

  // Creates or truncates szPath for O_RDWR | O_DIRECT I/O, with sequential
  // read-ahead advice. szPath lies below szRoot, and no symbolic link below
  // the root is followed: every folder on the way must be a real directory
  // and the file, when it exists, a regular file with one name, or nothing
  // is opened and nothing is changed. False with errno set and Failure()
  // saying what stopped it (the path and the system's text).
  //
  // With qwLayoutBytes the file is laid out before any measured I/O: at that
  // size, allocated in one piece where the file system can, and holding
  // zeros, so that the run's writes neither grow the file nor scatter it
  // (see LayOut in the source). A file that already has that size keeps its
  // blocks. What the run leaves is the same as without the layout: Close
  // cuts the file back to the end of what was written through this object
  // (Write, NoteWritten) when that is short of the laid-out size. ENOSPC:
  // the file system has no room for the layout.
  bool Create(const std::string& szRoot, const std::string& szPath, uint64_t qwLayoutBytes = 0);
  // Opens the block device szNode for direct I/O: read and write when
  // bWritable, else read-only, so that no call can write it. Never
  // exclusive: the run's own claim (ClaimBlockDevice) keeps others away.
  bool OpenDevice(const std::string& szNode, bool bWritable);
  const std::string& Failure() const { return m_szFailure; }
  void Close();
  // A write that went around this object (a request queue) ended at qwEnd.
  void NoteWritten(uint64_t qwEnd) { m_qwWrittenEnd = qwEnd > m_qwWrittenEnd ? qwEnd : m_qwWrittenEnd; }
  // Lets go of the descriptor without closing it, so that its number cannot
  // be handed to another file while a request may still use it.
  void Abandon() { m_hFile = INVALID_HANDLE_VALUE; }

  int Handle() const { return m_hFile; }
  bool IsOpen() const { return m_hFile != INVALID_HANDLE_VALUE; }

  // EINVAL for a transfer direct I/O cannot move on this file, where the
  // file system would take it anyway and serve it from the page cache
  // (btrfs): refused as ext4 and xfs refuse it. 0 when it may go.
  int MisalignedError(size_t nBytes, uint64_t qwOffset) const;

  ssize_t Read(void* pData, size_t nBytes);
  ssize_t Write(const void* pData, size_t nBytes);
  // Moves the file position; false with errno set on failure.
  bool Seek(uint64_t qwOffset);
  // The file position as Seek, Read and Write left it.
  uint64_t Position() const { return m_qwPosition; }

 private:
  // Closes what is open and refuses a path that is not below szRoot.
  bool StartCreate(const std::string& szRoot, const std::string& szPath);
  bool Refuse(const std::string& szPath, const std::string& szWhy, int nError);
  bool RefuseErrno(const std::string& szPath);

  int m_hFile = INVALID_HANDLE_VALUE;
  // The file position as Seek, Read and Write leave it; the end of the
  // furthest write; the size the file was laid out at (0: not laid out).
  uint64_t m_qwPosition = 0;
  uint64_t m_qwWrittenEnd = 0;
  uint64_t m_qwLaidOut = 0;
  uint32_t m_dwSilentAlign = 0;  // the alignment this class enforces itself; 0: the kernel does
  std::string m_szFailure;
};

// What kind of file st_mode is, in words ("a FIFO", "a symbolic link").
const char* FileTypeWords(unsigned nMode);

}  // namespace stratavon
