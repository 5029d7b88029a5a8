#include "platform/ForkedProcess.h"

// Windows has no fork: the run stays in the process the caller started
// (SeparateWorkerProcess says so), and none of this is reached.

namespace stratavon {

bool SeparateWorkerProcess() { return false; }

CForkedProcess::~CForkedProcess() = default;

bool CForkedProcess::Start(const std::function<int(int hChannel)>&, std::string* pszWhy) {
  if (pszWhy != nullptr) *pszWhy = "a separate worker process is not available on Windows";
  return false;
}

void CForkedProcess::CloseOut() {}
void CForkedProcess::CloseErr() {}
void CForkedProcess::Signal(int) const {}
void CForkedProcess::Kill() const {}
bool CForkedProcess::WaitEnd(std::chrono::milliseconds, std::string*, int*) { return m_bEnded; }

bool StuckInKernel(int) { return false; }
bool SendFrame(int, char, const std::string&) { return false; }
bool CFrameReader::ReadAvailable(int) { return false; }
bool CFrameReader::WaitFrame(int, std::chrono::milliseconds, char*, std::string*) { return false; }
bool CFrameReader::Next(char*, std::string*) { return false; }
void WaitReadable(const std::vector<int>& handles, std::chrono::milliseconds, std::vector<bool>& ready) {
  ready.assign(handles.size(), false);
}
bool ReadAvailable(int, std::string&) { return false; }
bool WriteAll(int, const std::string&) { return false; }

}  // namespace stratavon
