#include "platform/Registry.h"

#include "platform/AtomicFile.h"
#include "platform/StateDirectory.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace stratavon {

namespace {

// One process-wide lock: two CRegistry objects on the same file must not
// interleave their read-modify-write cycles.
std::mutex g_csRegistry;

constexpr const char* kTagString = "sz";
constexpr const char* kTagExpandString = "expand_sz";
constexpr const char* kTagDword = "dword";

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// True when section names the key itself or one of its subkeys: a key exists
// as soon as anything below it does, and deleting it takes its subkeys along.
bool IsKeyOrBelow(std::string_view section, std::string_view key) {
  if (section.size() < key.size() || !EqualNoCase(section.substr(0, key.size()), key)) return false;
  return section.size() == key.size() || section[key.size()] == '\\';
}

std::string_view Trim(std::string_view text) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// Names and keys are stored bare, so refuse the few that would read back as
// something else; value texts only have to stay on their line.
bool IsStorableKey(std::string_view key) {
  return !key.empty() && Trim(key) == key && !HasLineBreak(key);
}

bool IsStorableName(std::string_view name) {
  if (Trim(name) != name || HasLineBreak(name) || name.find('=') != std::string_view::npos) return false;
  return name.empty() || (name.front() != '[' && name.front() != ';' && name.front() != '#');
}

// "[key]" -> key. The last ']' closes the header, so keys may hold ']' too.
bool ParseHeader(std::string_view line, std::string& key) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return false;
  key = std::string(Trim(line.substr(1, line.size() - 2)));
  return true;
}

bool IsCommentOrBlank(std::string_view line) {
  line = Trim(line);
  return line.empty() || line.front() == ';' || line.front() == '#';
}

// "Name=tag:data". The name ends at the first '=', so the data may hold '='.
bool SplitValueLine(std::string_view line, std::string_view& name, std::string_view& data) {
  if (IsCommentOrBlank(line)) return false;
  const size_t nEq = line.find('=');
  if (nEq == std::string_view::npos) return false;
  name = Trim(line.substr(0, nEq));
  data = line.substr(nEq + 1);
  if (!data.empty() && data.back() == '\r') data.remove_suffix(1);
  return true;
}

std::string FormatValueLine(const std::string& name, const CRegistry::Value& value) {
  switch (value.type) {
    case CRegistry::ValueType::kDword:
      return name + "=" + kTagDword + ":" + std::to_string(value.dw);
    case CRegistry::ValueType::kExpandString:
      return name + "=" + kTagExpandString + ":" + value.text;
    case CRegistry::ValueType::kString:
      break;
  }
  return name + "=" + kTagString + ":" + value.text;
}

// A missing file is an empty store; any other failure to read is a failure.
bool ReadWholeFile(const std::string& szPath, std::string& szContent) {
  szContent.clear();
  const int fd = open(szPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  char buffer[16384];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    szContent.append(buffer, static_cast<size_t>(n));
  }
  const int nSaved = errno;
  close(fd);
  errno = nSaved;
  return n == 0;
}

// The file as a list of lines, each knowing the key it stands under. Lines
// the store does not understand are carried along untouched.
struct CRegistryText {
  struct Line {
    std::string szText;
    std::string szKey;  // the section it belongs to; empty before the first header
    bool bHeader = false;
  };
  std::vector<Line> m_lines;

  bool Load(const std::string& szPath) {
    m_lines.clear();
    std::string szContent;
    if (!ReadWholeFile(szPath, szContent)) return false;
    std::string szKey;
    for (size_t nStart = 0; nStart < szContent.size();) {
      size_t nEnd = szContent.find('\n', nStart);
      if (nEnd == std::string::npos) nEnd = szContent.size();
      Line line{szContent.substr(nStart, nEnd - nStart), {}, false};
      nStart = nEnd + 1;
      std::string szHeaderKey;
      if (ParseHeader(line.szText, szHeaderKey)) {
        szKey = szHeaderKey;
        line.bHeader = true;
      }
      line.szKey = szKey;
      m_lines.push_back(std::move(line));
    }
    return true;
  }

  // Index of the value line name under key (the last one wins, as on reading).
  std::optional<size_t> FindValue(std::string_view key, std::string_view name) const {
    std::optional<size_t> found;
    for (size_t i = 0; i < m_lines.size(); ++i) {
      std::string_view lineName, data;
      if (!m_lines[i].bHeader && !m_lines[i].szKey.empty() && EqualNoCase(m_lines[i].szKey, key) &&
          SplitValueLine(m_lines[i].szText, lineName, data) && EqualNoCase(lineName, name)) {
        found = i;
      }
    }
    return found;
  }

  std::optional<size_t> FindHeader(std::string_view key) const {
    std::optional<size_t> found;
    for (size_t i = 0; i < m_lines.size(); ++i) {
      if (m_lines[i].bHeader && EqualNoCase(m_lines[i].szKey, key)) found = i;
    }
    return found;
  }

  bool HasKey(std::string_view key) const {
    for (const Line& line : m_lines) {
      if (line.bHeader && IsKeyOrBelow(line.szKey, key)) return true;
    }
    return false;
  }

  void AppendHeader(const std::string& key) {
    if (!m_lines.empty() && !Trim(m_lines.back().szText).empty()) {
      m_lines.push_back({"", m_lines.back().szKey, false});
    }
    m_lines.push_back({"[" + key + "]", key, true});
  }

  // A new value goes after the last value of its section, ahead of the blank
  // lines and comments that introduce the next section.
  void InsertValue(size_t nHeader, const std::string& key, std::string szText) {
    size_t nAt = nHeader + 1;
    for (size_t i = nHeader + 1; i < m_lines.size() && !m_lines[i].bHeader; ++i) {
      if (!IsCommentOrBlank(m_lines[i].szText)) nAt = i + 1;
    }
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(nAt), Line{std::move(szText), key, false});
  }

  std::string Text() const {
    std::string szText;
    for (const Line& line : m_lines) {
      szText += line.szText;
      szText += '\n';
    }
    return szText;
  }
};

std::string DirectoryOf(const std::string& szPath) {
  const size_t nSlash = szPath.rfind('/');
  if (nSlash == std::string::npos) return ".";
  return nSlash == 0 ? "/" : szPath.substr(0, nSlash);
}

// The store is replaced whole (ReplaceFileAtomically), its folder made first
// when it is the state directory.
bool ReplaceFile(const std::string& szPath, const std::string& szText) {
  const std::string szDir = DirectoryOf(szPath);
  if (szDir == StateDirectory() && access(szDir.c_str(), F_OK) != 0 && !EnsureStateDirectory()) return false;
  return ReplaceFileAtomically(szPath, szText);
}

}  // namespace

CRegistry::CRegistry() : m_szPath(StateDirectory() + "/registry") {}

CRegistry::CRegistry(std::string path) : m_szPath(std::move(path)) {}

bool CRegistry::KeyExists(const std::string& key) const {
  std::lock_guard lock(g_csRegistry);
  CRegistryText text;
  return IsStorableKey(key) && text.Load(m_szPath) && text.HasKey(key);
}

bool CRegistry::CreateKey(const std::string& key) {
  if (!IsStorableKey(key)) return false;
  std::lock_guard lock(g_csRegistry);
  CRegistryText text;
  if (!text.Load(m_szPath)) return false;
  if (text.HasKey(key)) return true;
  text.AppendHeader(key);
  return ReplaceFile(m_szPath, text.Text());
}

bool CRegistry::SetValue(const std::string& key, const std::string& name, const Value& value) {
  if (!IsStorableKey(key) || !IsStorableName(name) || HasLineBreak(value.text)) return false;
  std::lock_guard lock(g_csRegistry);
  CRegistryText text;
  if (!text.Load(m_szPath)) return false;
  std::string szLine = FormatValueLine(name, value);
  if (const auto nLine = text.FindValue(key, name)) {
    text.m_lines[*nLine].szText = std::move(szLine);
  } else {
    auto nHeader = text.FindHeader(key);
    if (!nHeader) {
      text.AppendHeader(key);
      nHeader = text.m_lines.size() - 1;
    }
    text.InsertValue(*nHeader, key, std::move(szLine));
  }
  return ReplaceFile(m_szPath, text.Text());
}

}  // namespace stratavon
