#include "FaultRules.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace stratavon {
namespace {

constexpr uint64_t kDefaultCacheLimit = 64ull << 20;  // a consumer drive's DRAM cache

struct ErrnoName {
  const char* sz;
  int n;
};

// The errors a storage tester is likely to meet on a real device.
constexpr ErrnoName kErrnoNames[] = {
    {"EIO", EIO},         {"ENOSPC", ENOSPC},       {"EROFS", EROFS},         {"EDQUOT", EDQUOT},
    {"EFBIG", EFBIG},     {"EINVAL", EINVAL},       {"EAGAIN", EAGAIN},       {"EINTR", EINTR},
    {"ENOMEM", ENOMEM},   {"EACCES", EACCES},       {"EPERM", EPERM},         {"ENXIO", ENXIO},
    {"ENODEV", ENODEV},   {"ENOENT", ENOENT},       {"EBADF", EBADF},         {"ETIMEDOUT", ETIMEDOUT},
    {"EREMOTEIO", EREMOTEIO}, {"ECANCELED", ECANCELED}, {"EOPNOTSUPP", EOPNOTSUPP}, {"EBUSY", EBUSY},
    {"ESTALE", ESTALE},   {"ENOTCONN", ENOTCONN},   {"EILSEQ", EILSEQ},       {"EBADMSG", EBADMSG},
};

bool ParseNumber(const std::string& sz, uint64_t* pqw) {
  if (sz.empty() || sz[0] == '-' || sz[0] == '+') return false;
  errno = 0;
  char* pEnd = nullptr;
  unsigned long long qw = std::strtoull(sz.c_str(), &pEnd, 0);
  if (errno != 0 || pEnd == sz.c_str()) return false;
  uint64_t qwUnit = 1;
  if (*pEnd != '\0') {
    switch (*pEnd) {
      case 'k': case 'K': qwUnit = 1ull << 10; break;
      case 'm': case 'M': qwUnit = 1ull << 20; break;
      case 'g': case 'G': qwUnit = 1ull << 30; break;
      default: return false;
    }
    if (pEnd[1] != '\0') return false;
  }
  if (qw > UINT64_MAX / qwUnit) return false;
  *pqw = qw * qwUnit;
  return true;
}

bool ParseCountOrForever(const std::string& sz, uint64_t* pqw) {
  if (sz == "forever") {
    *pqw = kFaultForever;
    return true;
  }
  return ParseNumber(sz, pqw);
}

bool ParseErrno(const std::string& sz, int* pn) {
  for (const ErrnoName& e : kErrnoNames) {
    if (sz == e.sz) {
      *pn = e.n;
      return true;
    }
  }
  uint64_t qw = 0;
  if (!ParseNumber(sz, &qw) || qw == 0 || qw > 4095) return false;
  *pn = static_cast<int>(qw);
  return true;
}

bool Overlaps(uint64_t aOff, uint64_t aLen, uint64_t bOff, uint64_t bLen) {
  // A length of 0 stands for "to the end of the file" on the rule side only;
  // callers pass requests with their real, non-zero size.
  uint64_t aEnd = aLen == 0 ? UINT64_MAX : aOff + aLen;
  uint64_t bEnd = bOff + bLen;
  return aOff < bEnd && bOff < aEnd;
}

bool NameMatches(const std::string& suffix, const std::string& path) {
  if (suffix.empty()) return true;
  return path.size() >= suffix.size() &&
         path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

}  // namespace

bool ParseFaultSetting(const std::string& args, FaultSetting* pSetting, std::string* pszError) {
  FaultSetting parsed;
  bool bOp = false;
  int nActions = 0;
  for (const std::string& word : SplitWords(args)) {
    size_t nEq = word.find('=');
    std::string key = word.substr(0, nEq);
    std::string value = nEq == std::string::npos ? std::string() : word.substr(nEq + 1);
    bool bOk = true;
    if (key == "op") {
      bOp = true;
      if (value == "read") parsed.op = EFaultOp::Read;
      else if (value == "write") parsed.op = EFaultOp::Write;
      else if (value == "flush") parsed.op = EFaultOp::Flush;
      else bOk = false;
    } else if (key == "name") {
      parsed.name = value == "*" ? std::string() : value;
    } else if (key == "off") {
      bOk = ParseNumber(value, &parsed.offset);
    } else if (key == "len") {
      bOk = ParseNumber(value, &parsed.length);
    } else if (key == "skip") {
      bOk = ParseNumber(value, &parsed.skip);
    } else if (key == "times") {
      bOk = ParseCountOrForever(value, &parsed.times) && parsed.times > 0;
    } else if (key == "error") {
      ++nActions;
      parsed.action = EFaultAction::Error;
      bOk = ParseErrno(value, &parsed.error);
    } else if (key == "short") {
      ++nActions;
      parsed.action = EFaultAction::Short;
      bOk = ParseNumber(value, &parsed.shortBytes);
    } else if (key == "corrupt") {
      ++nActions;
      parsed.action = EFaultAction::Corrupt;
      uint64_t qwMask = 0xFF;
      if (nEq != std::string::npos) bOk = ParseNumber(value, &qwMask) && qwMask > 0 && qwMask <= 0xFF;
      parsed.xorMask = static_cast<uint8_t>(qwMask);
    } else if (key == "drop") {
      ++nActions;
      parsed.action = EFaultAction::Drop;
    } else if (key == "moveto") {
      ++nActions;
      parsed.action = EFaultAction::Move;
      bOk = ParseNumber(value, &parsed.moveTo);
    } else if (key == "wrap") {
      ++nActions;
      parsed.action = EFaultAction::Wrap;
      bOk = ParseNumber(value, &parsed.wrap) && parsed.wrap > 0;
    } else if (key == "lie-flush" && nEq == std::string::npos) {
      ++nActions;
      parsed.action = EFaultAction::LieFlush;
      if (!bOp) {
        bOp = true;
        parsed.op = EFaultOp::Flush;
      }
    } else if (key == "stall") {
      ++nActions;
      parsed.action = EFaultAction::Stall;
      // A day is longer than any test waits; more is a typo, not a wish.
      bOk = ParseCountOrForever(value, &parsed.stallMs) && parsed.stallMs > 0 &&
            (parsed.stallMs == kFaultForever || parsed.stallMs <= 86400000);
      if (parsed.stallMs == kFaultForever) parsed.stallMs = 0;
    } else {
      *pszError = "unknown key '" + key + "'";
      return false;
    }
    if (!bOk) {
      *pszError = "bad value in '" + word + "'";
      return false;
    }
  }
  if (!bOp) {
    *pszError = "op=read or op=write is missing";
    return false;
  }
  if (nActions != 1) {
    *pszError = "a rule needs exactly one of error=, short=, corrupt, stall=, drop, moveto=, wrap=, lie-flush";
    return false;
  }
  if ((parsed.action == EFaultAction::Drop || parsed.action == EFaultAction::Move) && parsed.op != EFaultOp::Write) {
    *pszError = "drop and moveto= apply to writes only";
    return false;
  }
  const bool bFlushAction = parsed.action == EFaultAction::Error || parsed.action == EFaultAction::Stall ||
                            parsed.action == EFaultAction::LieFlush;
  if (parsed.op == EFaultOp::Flush ? !bFlushAction : parsed.action == EFaultAction::LieFlush) {
    *pszError = "lie-flush applies to flushes, which take only error=, stall= and lie-flush";
    return false;
  }
  if (parsed.length != 0 && parsed.offset > UINT64_MAX - parsed.length) {
    *pszError = "off+len overflows";
    return false;
  }
  parsed.text = args;
  *pSetting = std::move(parsed);
  return true;
}

void ApplyCorruptions(const FaultVerdict& verdict, uint64_t fileOffset, char* pBuffer, size_t nBytes) {
  for (const FaultCorruption& c : verdict.corruptions) {
    uint64_t qwEnd = c.length == 0 ? UINT64_MAX : c.offset + c.length;
    uint64_t qwFrom = std::max(c.offset, fileOffset);
    uint64_t qwTo = std::min<uint64_t>(qwEnd, fileOffset + nBytes);
    for (uint64_t qw = qwFrom; qw < qwTo; ++qw) pBuffer[qw - fileOffset] ^= static_cast<char>(c.xorMask);
  }
}

bool CFaultTable::Apply(const std::string& text, std::string* pszError, bool bDryRun) {
  struct Command {
    enum { Add, Disarm, Clear, CacheOn, CacheOff, PowerCut } kind;
    FaultSetting parsed;
    size_t nIndex = 0;
    uint64_t qwValue = 0;  // the cache's limit, the tear's bytes
    bool bTear = false;
  };
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<Command> commands;
  size_t nRules = m_rules.size();
  std::istringstream in(text);
  std::string line;
  for (int nLine = 1; std::getline(in, line); ++nLine) {
    std::vector<std::string> words = SplitWords(line);
    if (words.empty() || words[0][0] == '#') continue;
    Command cmd{Command::Clear, {}, 0, 0, false};
    std::string szError;
    if (words[0] == "add") {
      cmd.kind = Command::Add;
      size_t nAt = line.find("add");
      std::string args = line.substr(nAt + 3);
      size_t nFirst = args.find_first_not_of(" \t");
      size_t nLast = args.find_last_not_of(" \t\r");
      args = nFirst == std::string::npos ? std::string() : args.substr(nFirst, nLast - nFirst + 1);
      if (!ParseFaultSetting(args, &cmd.parsed, &szError)) {
        *pszError = "line " + std::to_string(nLine) + ": " + szError;
        return false;
      }
      ++nRules;
    } else if (words[0] == "disarm" && words.size() == 2) {
      cmd.kind = Command::Disarm;
      uint64_t qw = 0;
      if (!ParseNumber(words[1], &qw) || qw >= nRules) {
        *pszError = "line " + std::to_string(nLine) + ": no rule " + words[1];
        return false;
      }
      cmd.nIndex = static_cast<size_t>(qw);
    } else if (words[0] == "clear" && words.size() == 1) {
      cmd.kind = Command::Clear;
    } else if (words[0] == "cache" && words.size() == 2 && words[1] == "off") {
      cmd.kind = Command::CacheOff;
    } else if (words[0] == "cache" && words.size() <= 3 && words.size() >= 2 && words[1] == "on" &&
               (words.size() == 2 || (words[2].rfind("limit=", 0) == 0 &&
                                      ParseNumber(words[2].substr(6), &cmd.qwValue) && cmd.qwValue > 0))) {
      cmd.kind = Command::CacheOn;
      if (words.size() == 2) cmd.qwValue = kDefaultCacheLimit;
    } else if (words[0] == "powercut" && words.size() <= 2 &&
               (words.size() == 1 || words[1] == "tear" ||
                (words[1].rfind("tear=", 0) == 0 && ParseNumber(words[1].substr(5), &cmd.qwValue) && cmd.qwValue > 0))) {
      cmd.kind = Command::PowerCut;
      cmd.bTear = words.size() == 2;
    } else {
      *pszError = "line " + std::to_string(nLine) + ": unknown command '" + line + "'";
      return false;
    }
    commands.push_back(std::move(cmd));
  }
  if (bDryRun) return true;
  for (Command& cmd : commands) {
    switch (cmd.kind) {
      case Command::Add:
        m_rules.push_back(Rule{std::move(cmd.parsed)});
        break;
      case Command::Disarm:
        m_rules[cmd.nIndex].bArmed = false;
        break;
      case Command::Clear:
        for (Rule& rule : m_rules) rule.bArmed = false;
        break;
      case Command::CacheOn:
        m_bCacheUsed = true;
        (void)m_cache.Enable(true, cmd.qwValue, pszError);
        break;
      case Command::CacheOff:
        if (!m_cache.Enable(false, 0, pszError)) return false;
        break;
      case Command::PowerCut:
        m_bCacheUsed = true;
        (void)m_cache.PowerCut(cmd.bTear, cmd.qwValue);
        break;
    }
  }
  m_cvChanged.notify_all();
  return true;
}

FaultVerdict CFaultTable::Consult(const std::string& path, EFaultOp op, uint64_t offset, uint64_t size) {
  FaultVerdict verdict;
  if (size == 0 && op != EFaultOp::Flush) return verdict;
  std::unique_lock<std::mutex> lock(m_mutex);
  std::vector<Rule*> stalls;
  for (Rule& rule : m_rules) {
    const FaultSetting& s = rule.parsed;
    if (!rule.bArmed || s.op != op || !NameMatches(s.name, path) ||
        (op != EFaultOp::Flush && !Overlaps(s.offset, s.length, offset, size)))
      continue;
    ++rule.qwSeen;
    if (rule.qwSeen <= s.skip || rule.qwHits >= s.times) continue;
    ++rule.qwHits;
    switch (s.action) {
      case EFaultAction::Error:
        if (verdict.error == 0) verdict.error = s.error;
        break;
      case EFaultAction::Short:
        verdict.limit = std::min(verdict.limit, s.shortBytes);
        break;
      case EFaultAction::Corrupt:
        verdict.corruptions.push_back(FaultCorruption{s.offset, s.length, s.xorMask});
        break;
      case EFaultAction::Stall:
        stalls.push_back(&rule);
        break;
      case EFaultAction::Drop:
        verdict.bDrop = true;
        break;
      case EFaultAction::Move:
        verdict.moveTo = s.moveTo;
        break;
      case EFaultAction::Wrap:
        verdict.wrap = s.wrap;
        break;
      case EFaultAction::LieFlush:
        verdict.bLieFlush = true;
        break;
    }
  }
  using Clock = std::chrono::steady_clock;
  constexpr auto kPoll = std::chrono::milliseconds(100);
  for (Rule* pRule : stalls) {
    auto released = [&] { return !pRule->bArmed || m_bShutdown || (m_pfnAbandon && m_pfnAbandon()); };
    bool bForever = pRule->parsed.stallMs == 0;
    Clock::time_point until = Clock::now() + std::chrono::milliseconds(pRule->parsed.stallMs);
    while (!released()) {
      Clock::time_point now = Clock::now();
      if (!bForever && now >= until) break;
      m_cvChanged.wait_for(lock, bForever ? kPoll : std::min<Clock::duration>(kPoll, until - now));
    }
  }
  return verdict;
}

std::string CFaultTable::Report() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string report;
  for (size_t n = 0; n < m_rules.size(); ++n) {
    const Rule& rule = m_rules[n];
    report += std::to_string(n) + " armed=" + (rule.bArmed ? "1" : "0") + " seen=" + std::to_string(rule.qwSeen) +
              " hits=" + std::to_string(rule.qwHits) + " " + rule.parsed.text + "\n";
  }
  if (m_bCacheUsed) report += m_cache.Report();
  return report;
}

void CFaultTable::SetAbandonCheck(bool (*pfnAbandon)()) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_pfnAbandon = pfnAbandon;
}

void CFaultTable::Shutdown() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bShutdown = true;
  m_cvChanged.notify_all();
}

}  // namespace stratavon
