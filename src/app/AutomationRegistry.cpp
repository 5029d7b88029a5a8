#include "app/AutomationRegistry.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "app/AppResources.h"

namespace stratavon {
namespace {

// Writes the file through a temporary beside it and a rename, so the bus
// never reads half a file.
bool WriteWholeFile(const std::filesystem::path& path, const std::string& szText) {
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  if (ec) return false;
  const std::filesystem::path temp = path.string() + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << szText;
    out.flush();
    if (!out) {
      out.close();
      std::filesystem::remove(temp, ec);
      return false;
    }
  }
  std::filesystem::rename(temp, path, ec);
  if (ec) {
    std::filesystem::remove(temp, ec);
    return false;
  }
  return true;
}

bool RemoveFile(const std::string& szPath) {
  std::error_code ec;
  std::filesystem::remove(szPath, ec);
  return !ec;
}

// The Exec line is split like a shell would split it; a path with blanks
// or quotes must come through as one word.
std::string QuoteForExec(const std::string& szWord) {
  if (szWord.find_first_of(" \t\"'\\") == std::string::npos) return szWord;
  std::string szQuoted = "'";
  for (char c : szWord) {
    if (c == '\'') {
      szQuoted += "'\\''";
    } else {
      szQuoted += c;
    }
  }
  return szQuoted + "'";
}

}  // namespace

std::string UserDataHome() {
  const char* pszData = std::getenv("XDG_DATA_HOME");
  if (pszData != nullptr && pszData[0] == '/') return pszData;
  const char* pszHome = std::getenv("HOME");
  if (pszHome != nullptr && pszHome[0] == '/') return std::string(pszHome) + "/.local/share";
  return {};
}

std::string ActivationFilePath(const std::string& szDataHome) {
  return szDataHome + "/dbus-1/services/" + kAutomationProgId + ".service";
}

std::string InterfaceFilePath(const std::string& szDataHome) {
  return szDataHome + "/dbus-1/interfaces/" + kCorvaneInterface + ".xml";
}

std::string ActivationFileText(const std::string& szProgram) {
  return std::string("[D-BUS Service]\nName=") + kAutomationProgId + "\nExec=" + QuoteForExec(szProgram) +
         " /Embedding\n";
}

bool UpdateRegistryAll(bool bRegister, const std::string& szDataHome, const std::string& szProgram) {
  if (szDataHome.empty()) return false;
  if (!bRegister) return RemoveFile(ActivationFilePath(szDataHome));
  if (szProgram.empty()) return false;
  return WriteWholeFile(ActivationFilePath(szDataHome), ActivationFileText(szProgram));
}

bool RegisterTypeLib(const std::string& szDataHome) {
  if (szDataHome.empty()) return false;
  return WriteWholeFile(InterfaceFilePath(szDataHome), kInterfaceXml);
}

bool UnregisterTypeLib(const std::string& szDataHome) {
  if (szDataHome.empty()) return false;
  return RemoveFile(InterfaceFilePath(szDataHome));
}

const char* InterfaceDescription() { return kInterfaceXml; }

}  // namespace stratavon
