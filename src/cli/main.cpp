#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/InfoCommands.h"
#include "cli/JournalListen.h"
#include "run/RunCommand.h"
#include "run/RunOptions.h"
#include "run/RunReport.h"
#include "run/RunSupervisor.h"
#include "platform/ForkedProcess.h"
#include "platform/SignalWatch.h"
#include "cli/SelfTest.h"
#include "cli/VerifyCommand.h"

using namespace stratavon;

namespace {

int Usage(const std::string& szWhy) {
  std::fprintf(stderr, "stratavon-cli: %s\n%s", szWhy.c_str(), UsageText());
  return kExitRefused;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("no command given");
  const std::string szCommand = argv[1];
  if (szCommand == "-h" || szCommand == "--help" || szCommand == "help") {
    std::fputs(UsageText(), stdout);
    return kExitPassed;
  }
  if (szCommand == "--version" || szCommand == "-V" || szCommand == "version") {
    std::printf("stratavon-cli %s\n", STRATAVON_VERSION);
    return kExitPassed;
  }
  if (szCommand == "run") {
    RunOptions options;
    std::string szError;
    switch (ParseRunOptions(argc - 1, argv + 1, options, &szError)) {
      case ParseOutcome::kHelp:
        std::fputs(UsageText(), stdout);
        return kExitPassed;
      case ParseOutcome::kUsage:
        // A script that asked for JSON gets the refusal as JSON too.
        for (int i = 2; i < argc; ++i) {
          if (std::strcmp(argv[i], "--json") != 0) continue;
          std::fputs(RefusedRunJson(szError).c_str(), stdout);
          break;
        }
        return Usage(szError);
      case ParseOutcome::kRun:
        break;
    }
    // For a debugger, or where there is no fork: the run in this very process.
    const char* szInProcess = std::getenv("STRATAVON_IN_PROCESS");
    if ((szInProcess != nullptr && *szInProcess == '1') || !SeparateWorkerProcess()) return RunCommand(options);
    // The supervisor makes its signal watch before any thread exists.
    CSignalWatch signals;
    if (!signals.IsValid()) {
      std::fprintf(stderr, "stratavon-cli: cannot watch for interrupts\n");
      return kExitRefused;
    }
    return SuperviseRun(options, signals);
  }
  if (szCommand == "targets") {
    if (argc > 2) return Usage("targets takes no arguments");
    return TargetsCommand();
  }
  if (szCommand == "events") {
    const bool bJson = argc == 3 && std::strcmp(argv[2], "--json") == 0;
    if (argc > 3 || (argc == 3 && !bJson)) return Usage("events takes only --json");
    return EventsCommand(bJson);
  }
  if (szCommand == "selftest") {
    if (argc > 3 || (argc == 3 && argv[2][0] == '-')) return Usage("selftest takes one folder at most");
    return SelfTestCommand(argc == 3 ? argv[2] : "");
  }
  if (szCommand == "verify") return VerifyCommand(argc - 2, argv + 2);
  if (szCommand == "journal-listen") return JournalListenCommand(argc - 2, argv + 2);
  return Usage("unknown command \"" + szCommand + "\"");
}
