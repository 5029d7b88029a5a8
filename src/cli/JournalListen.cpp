#include "cli/JournalListen.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "engine/FlushJournal.h"
#include "platform/TcpStream.h"
#include "run/RunCommand.h"

namespace stratavon {

int JournalListenCommand(int argc, char** argv) {
  char* pEnd = nullptr;
  const unsigned long nPort = argc == 2 ? std::strtoul(argv[0], &pEnd, 10) : 0;
  struct stat st = {};
  if (argc != 2 || pEnd == argv[0] || *pEnd != '\0' || nPort == 0 || nPort > 65535) {
    std::fprintf(stderr, "stratavon-cli: journal-listen takes a port (1 to 65535) and a folder\n");
    return kExitRefused;
  }
  const std::string szDir = argv[1];
  if (stat(szDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "stratavon-cli: journal-listen: \"%s\" is not a folder\n", szDir.c_str());
    return kExitRefused;
  }
  CTcpListener listener;
  std::string szError;
  if (!listener.Listen(static_cast<uint16_t>(nPort), &szError)) {
    std::fprintf(stderr, "stratavon-cli: journal-listen: %s\n", szError.c_str());
    return kExitRefused;
  }
  std::printf("journal-listen: port %u, journals to %s/stratavon-RUNID.journal\n", listener.Port(), szDir.c_str());
  std::fflush(stdout);
  for (;;) {
    CTcpStream stream;
    if (!listener.Accept(&stream, -1, &szError)) {
      std::fprintf(stderr, "journal-listen: %s\n", szError.c_str());
      continue;
    }
    // One thread a writer; each ends with its connection.
    std::thread([szDir, stream = std::move(stream)]() mutable {
      const uint64_t qwStored = ServeJournalConnection(stream, szDir);
      std::printf("journal-listen: a writer went after %llu records\n", static_cast<unsigned long long>(qwStored));
      std::fflush(stdout);
    }).detach();
  }
}

}  // namespace stratavon
