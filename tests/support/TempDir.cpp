#include "support/TempDir.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace stratavon::test {

CTempDir::CTempDir(const std::string& szBase) {
  std::string szTemplate =
      (szBase.empty() ? std::filesystem::temp_directory_path().string() : szBase) + "/stratavon-XXXXXX";
  std::vector<char> name(szTemplate.begin(), szTemplate.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) != nullptr) m_szRoot = std::string(name.data()) + "/";
}

CTempDir::~CTempDir() {
  if (!m_szRoot.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(m_szRoot, ec);
  }
}

CStateHome::CStateHome() {
  if (const char* psz = getenv("STRATAVON_HOME")) {
    m_bHadPrevious = true;
    m_szPrevious = psz;
  }
  setenv("STRATAVON_HOME", (m_dir.Root() + "state").c_str(), 1);
}

CStateHome::~CStateHome() {
  if (m_bHadPrevious) {
    setenv("STRATAVON_HOME", m_szPrevious.c_str(), 1);
  } else {
    unsetenv("STRATAVON_HOME");
  }
}

std::string CStateHome::EventLog() const { return m_dir.Root() + "state/events.jsonl"; }

std::string ReadWholeFile(const std::string& szPath) {
  std::ifstream file(szPath, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace stratavon::test
