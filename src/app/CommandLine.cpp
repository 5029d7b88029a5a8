#include "app/CommandLine.h"

#include <algorithm>
#include <cctype>

namespace stratavon {
namespace {

// The switch word without its leading '/', '-' or "--", in lower case;
// empty when the argument is no switch.
std::string SwitchWord(const std::string& szArg) {
  size_t nSkip = 0;
  if (szArg.rfind("--", 0) == 0) {
    nSkip = 2;
  } else if (!szArg.empty() && (szArg[0] == '/' || szArg[0] == '-')) {
    nSkip = 1;
  }
  if (nSkip == 0) return {};
  std::string szWord = szArg.substr(nSkip);
  std::transform(szWord.begin(), szWord.end(), szWord.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return szWord;
}

}  // namespace

CCommandLineInfo ParseCommandLine(const std::vector<std::string>& args) {
  CCommandLineInfo info;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string szWord = SwitchWord(args[i]);
    if (szWord == "embedding") {
      info.m_bRunEmbedded = true;
    } else if (szWord == "automation") {
      info.m_bRunAutomated = true;
    } else if (szWord == "regserver" || szWord == "register") {
      info.m_nShellCommand = CCommandLineInfo::AppRegister;
    } else if (szWord == "unregserver" || szWord == "unregister") {
      info.m_nShellCommand = CCommandLineInfo::AppUnregister;
    }
  }
  return info;
}

}  // namespace stratavon
