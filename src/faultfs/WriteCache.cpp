#include "WriteCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace stratavon {
namespace {

int PwriteAll(int fd, const char* pBuffer, size_t nBytes, uint64_t qwOffset) {
  size_t nDone = 0;
  while (nDone < nBytes) {
    ssize_t n = pwrite(fd, pBuffer + nDone, nBytes - nDone, static_cast<off_t>(qwOffset + nDone));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    nDone += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

CWriteCache::~CWriteCache() { DropAll(); }

bool CWriteCache::KeyOf(int fd, Key* pKey) {
  struct stat st = {};
  if (fstat(fd, &st) != 0) return false;
  *pKey = Key{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return true;
}

bool CWriteCache::Enable(bool bOn, uint64_t qwLimit, std::string* pszError) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (bOn) {
    m_bOn = true;
    m_qwLimit = qwLimit;
    return true;
  }
  for (auto& [key, file] : m_files) {
    if (int nError = WriteBack(file, UINT64_MAX)) {
      *pszError = std::string("write-back failed: ") + std::strerror(nError);
      return false;
    }
  }
  DropAll();
  m_bOn = false;
  return true;
}

bool CWriteCache::Enabled() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bOn;
}

int CWriteCache::WriteBack(File& file, uint64_t qwUpToSeq) {
  size_t n = 0;
  int nError = 0;
  for (; n < file.pieces.size() && file.pieces[n].qwSeq <= qwUpToSeq; ++n) {
    const Piece& piece = file.pieces[n];
    nError = PwriteAll(file.fd, piece.bytes.data(), piece.bytes.size(), piece.qwOffset);
    if (nError) break;
  }
  file.pieces.erase(file.pieces.begin(), file.pieces.begin() + static_cast<std::ptrdiff_t>(n));
  return nError;
}

int CWriteCache::MakeRoom(uint64_t qwBytes) {
  // Oldest first, over every file, as a drive's cache drains.
  while (m_qwHeld + qwBytes > m_qwLimit) {
    File* pOldest = nullptr;
    for (auto& [key, file] : m_files) {
      if (!file.pieces.empty() && (!pOldest || file.pieces[0].qwSeq < pOldest->pieces[0].qwSeq)) pOldest = &file;
    }
    if (!pOldest) return 0;  // one write larger than the cache: held anyway
    const uint64_t qwFreed = pOldest->pieces[0].bytes.size();
    if (int nError = WriteBack(*pOldest, pOldest->pieces[0].qwSeq)) return nError;
    m_qwHeld -= qwFreed;
  }
  return 0;
}

bool CWriteCache::Write(int fd, const char* pBuffer, size_t nBytes, uint64_t qwOffset, int* pnError) {
  *pnError = 0;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_bOn) return false;
  struct stat st = {};
  if (fstat(fd, &st) != 0) {
    *pnError = errno;
    return true;
  }
  const Key key{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  // The file grows at once, as a drive's size is fixed: what is not yet
  // written back reads as zeroes from the backing file.
  if (qwOffset + nBytes > static_cast<uint64_t>(st.st_size) &&
      ftruncate(fd, static_cast<off_t>(qwOffset + nBytes)) != 0) {
    *pnError = errno;
    return true;
  }
  if ((*pnError = MakeRoom(nBytes)) != 0) return true;
  File& file = m_files[key];
  if (file.fd < 0 && (file.fd = fcntl(fd, F_DUPFD_CLOEXEC, 0)) < 0) {
    *pnError = errno;
    m_files.erase(key);
    return true;
  }
  file.pieces.push_back(Piece{++m_qwSeq, qwOffset, std::vector<char>(pBuffer, pBuffer + nBytes)});
  m_qwHeld += nBytes;
  return true;
}

size_t CWriteCache::Overlay(int fd, char* pBuffer, size_t nBytes, uint64_t qwOffset, size_t nRead) const {
  Key key;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_files.empty() || !KeyOf(fd, &key)) return nRead;
  auto it = m_files.find(key);
  if (it == m_files.end()) return nRead;
  size_t nValid = nRead;
  for (const Piece& piece : it->second.pieces) {
    const uint64_t qwFrom = std::max(piece.qwOffset, qwOffset);
    const uint64_t qwTo = std::min<uint64_t>(piece.qwOffset + piece.bytes.size(), qwOffset + nBytes);
    if (qwFrom >= qwTo) continue;
    if (qwFrom - qwOffset > nValid) std::memset(pBuffer + nValid, 0, qwFrom - qwOffset - nValid);
    std::memcpy(pBuffer + (qwFrom - qwOffset), piece.bytes.data() + (qwFrom - piece.qwOffset), qwTo - qwFrom);
    nValid = std::max<size_t>(nValid, qwTo - qwOffset);
  }
  return nValid;
}

int CWriteCache::Flush(int fd, bool bDataOnly) {
  Key key;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_qwFlushes;
    auto it = m_files.end();
    if (!m_files.empty() && KeyOf(fd, &key)) it = m_files.find(key);
    if (it != m_files.end()) {
      uint64_t qwBefore = 0;
      for (const Piece& piece : it->second.pieces) qwBefore += piece.bytes.size();
      const int nError = WriteBack(it->second, UINT64_MAX);
      uint64_t qwAfter = 0;
      for (const Piece& piece : it->second.pieces) qwAfter += piece.bytes.size();
      m_qwHeld -= qwBefore - qwAfter;
      if (nError) return nError;
    }
  }
  return (bDataOnly ? fdatasync(fd) : fsync(fd)) == 0 ? 0 : errno;
}

uint64_t CWriteCache::PowerCut(bool bTear, uint64_t qwTearBytes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_qwCuts;
  uint64_t qwLost = 0;
  File* pOldest = nullptr;
  for (auto& [key, file] : m_files) {
    qwLost += file.pieces.size();
    if (!file.pieces.empty() && (!pOldest || file.pieces[0].qwSeq < pOldest->pieces[0].qwSeq)) pOldest = &file;
  }
  if (bTear && pOldest) {
    const Piece& piece = pOldest->pieces[0];
    const size_t nPart = qwTearBytes == 0 ? piece.bytes.size() / 2
                                          : static_cast<size_t>(std::min<uint64_t>(qwTearBytes, piece.bytes.size()));
    (void)PwriteAll(pOldest->fd, piece.bytes.data(), nPart, piece.qwOffset);
  }
  DropAll();
  return qwLost;
}

void CWriteCache::DropAll() {
  for (auto& [key, file] : m_files) {
    if (file.fd >= 0) close(file.fd);
  }
  m_files.clear();
  m_qwHeld = 0;
}

std::string CWriteCache::Report() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  uint64_t qwWrites = 0;
  for (const auto& [key, file] : m_files) qwWrites += file.pieces.size();
  return std::string("cache ") + (m_bOn ? "on" : "off") + " limit=" + std::to_string(m_qwLimit) +
         " held=" + std::to_string(m_qwHeld) + " writes=" + std::to_string(qwWrites) +
         " flushes=" + std::to_string(m_qwFlushes) + " cuts=" + std::to_string(m_qwCuts) + "\n";
}

}  // namespace stratavon
