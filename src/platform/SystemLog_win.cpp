#include <windows.h>

#include <mutex>

#include "platform/SystemLog.h"

namespace stratavon {
namespace {

std::once_flag g_onceSource;
HANDLE g_hSource = nullptr;

}  // namespace

// The entry types share Windows' values (EVENTLOG_ERROR_TYPE 1, WARNING 2,
// INFORMATION 4). Without the source's registry key the viewer shows the
// text as an insertion string of an unknown message; it is there all the same.
void MirrorToSystemLog(uint16_t wType, uint32_t dwEventId, const std::string& szText) {
  std::call_once(g_onceSource, [] { g_hSource = RegisterEventSourceA(nullptr, "Stratavon"); });
  if (g_hSource == nullptr) return;
  const char* pszText = szText.c_str();
  ReportEventA(g_hSource, wType, 0, dwEventId, nullptr, 1, 0, &pszText, nullptr);
}

}  // namespace stratavon
