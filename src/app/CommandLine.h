#pragma once

#include <string>
#include <vector>

namespace stratavon {

// What the switches of the command line ask for; anything that is not a
// known switch is left alone (the program opens no documents).
struct CCommandLineInfo {
  enum ShellCommand { FileNothing, AppRegister, AppUnregister };

  bool m_bRunEmbedded = false;   // /Embedding: started by the bus for a client
  bool m_bRunAutomated = false;  // /Automation
  ShellCommand m_nShellCommand = FileNothing;
};

// Reads the switches of argv (argv[0] is the program). A switch begins with
// '/', '-' or "--" and is matched without regard to case: /Regserver and
// /Register register, /Unregserver and /Unregister unregister.
CCommandLineInfo ParseCommandLine(const std::vector<std::string>& args);

}  // namespace stratavon
