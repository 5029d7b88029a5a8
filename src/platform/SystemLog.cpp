#include "platform/SystemLog.h"

#include <syslog.h>

#include <mutex>

#include "platform/EventLog.h"

namespace stratavon {
namespace {

std::once_flag g_onceSyslog;

int SyslogPriority(uint16_t wType) {
  if (wType == EVENTLOG_WARNING_TYPE) return LOG_WARNING;
  if (wType == EVENTLOG_INFORMATION_TYPE) return LOG_INFO;
  return LOG_ERR;
}

}  // namespace

void MirrorToSystemLog(uint16_t wType, uint32_t /*dwEventId: in the text already*/, const std::string& szText) {
  // No LOG_CONS: without a syslog daemon the message is simply dropped.
  std::call_once(g_onceSyslog, [] { openlog("stratavon", LOG_PID, LOG_USER); });
  syslog(SyslogPriority(wType), "%s", szText.c_str());
}

}  // namespace stratavon
