#include "engine/DataFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "engine/Pattern.h"

namespace stratavon {
namespace {

std::unique_ptr<std::vector<uint8_t>> g_pHeldFile;
// The pattern the consoles showed before the data-file kind took over; the
// kind goes back to it when the data is released.
int g_nKindBeforeImport = kPatternByte;

void UseDataFileKind() {
  if (g_nPatternKind != kPatternFile) g_nKindBeforeImport = g_nPatternKind;
  g_nPatternKind = kPatternFile;
}

class CReadOnlyFile {
 public:
  explicit CReadOnlyFile(const std::string& szPath) {
    do {
      // O_NONBLOCK: a FIFO or a device would otherwise hold the open until a
      // writer or the medium shows up; only regular files are read anyway.
      m_hFile = open(szPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (m_hFile < 0 && errno == EINTR);
  }
  ~CReadOnlyFile() {
    if (m_hFile >= 0) close(m_hFile);
  }
  CReadOnlyFile(const CReadOnlyFile&) = delete;
  CReadOnlyFile& operator=(const CReadOnlyFile&) = delete;

  int Handle() const { return m_hFile; }

  // Reads until the buffer is full; false on an error or an early end.
  bool ReadWhole(uint8_t* pData, size_t nSize) {
    size_t nDone = 0;
    while (nDone < nSize) {
      const ssize_t n = read(m_hFile, pData + nDone, nSize - nDone);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      nDone += static_cast<size_t>(n);
    }
    return true;
  }

 private:
  int m_hFile = -1;
};

void Drop() {
  g_pPatternFile = nullptr;
  g_pHeldFile.reset();
}

}  // namespace

DataFileResult ImportDataFile(const std::string& szPath, std::string* pszLabel) {
  CReadOnlyFile file(szPath);
  if (file.Handle() < 0) return DataFileResult::kCannotOpen;
  struct stat st {};
  if (fstat(file.Handle(), &st) != 0) return DataFileResult::kCannotOpen;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return DataFileResult::kCannotOpen;
  }
  if (st.st_size == 0) return DataFileResult::kEmpty;
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > kMaxDataFileBytes) return DataFileResult::kTooLarge;
  const size_t nSize = static_cast<size_t>(st.st_size);

  Drop();
  std::unique_ptr<std::vector<uint8_t>> pData(new (std::nothrow) std::vector<uint8_t>());
  if (!pData) return DataFileResult::kNoMemory;
  try {
    pData->resize(nSize);
  } catch (const std::bad_alloc&) {
    return DataFileResult::kNoMemory;
  }

  // "INVALID" is what the Pattern box shows from now on: the kind names the
  // data that is gone, so no run starts on a pattern other than the one shown.
  if (!file.ReadWhole(pData->data(), nSize)) {
    UseDataFileKind();
    return DataFileResult::kReadFailed;
  }
  // The label ends at the first zero byte or with the file; a file without
  // a zero byte is all label.
  const size_t nLabel = strnlen(reinterpret_cast<const char*>(pData->data()), nSize);
  if (nLabel > kMaxDataFileLabel) {
    UseDataFileKind();
    return DataFileResult::kLabelTooLong;
  }

  if (pszLabel != nullptr) pszLabel->assign(reinterpret_cast<const char*>(pData->data()), nLabel);
  g_pHeldFile = std::move(pData);
  g_pPatternFile = g_pHeldFile.get();
  UseDataFileKind();
  return DataFileResult::kLoaded;
}

void ReleaseDataFile() {
  Drop();
  if (g_nPatternKind == kPatternFile) g_nPatternKind = g_nKindBeforeImport;
}

bool DataFilePatternMissing() { return g_nPatternKind == kPatternFile && g_pPatternFile == nullptr; }

size_t DataFileBytes() { return g_pHeldFile ? g_pHeldFile->size() : 0; }

const char* DescribeDataFileResult(DataFileResult result) {
  switch (result) {
    case DataFileResult::kLoaded: return "loaded";
    case DataFileResult::kCannotOpen: return "cannot be opened as a file";
    case DataFileResult::kEmpty: return "is empty";
    case DataFileResult::kTooLarge: return "is larger than 4194304 bytes";
    case DataFileResult::kNoMemory: return "does not fit in memory";
    case DataFileResult::kReadFailed: return "could not be read";
    case DataFileResult::kLabelTooLong: return "has a label longer than 16 characters";
  }
  return "cannot be used";
}

}  // namespace stratavon
