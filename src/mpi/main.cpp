// stratavon-mpi: one run of stratavon-cli's workers across the ranks of an
// MPI job (mpirun, srun). Every rank runs the same workers on its own
// targets; rank 0 prints the live view and the verdict of the whole run.
#include <mpi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "run/RunCommand.h"
#include "run/RunSupervisor.h"
#include "run/RunOptions.h"
#include "platform/SignalWatch.h"
#include "run/RunSummary.h"
#include "mpi/MpiPeers.h"
#include "mpi/RankTargets.h"
#include "platform/BlockDevice.h"

using namespace stratavon;

namespace {

constexpr const char* kUsage =
    "usage: mpirun -n N [--host H,...|--hostfile FILE] stratavon-mpi run <the options of stratavon-cli run>\n"
    "       srun -n N stratavon-mpi run <the options of stratavon-cli run>\n"
    "A target may hold {rank} and {host}; a target without {rank} is shared, and each rank works in its\n"
    "folder rank<N>/ below it. --simple is not run across ranks.\n";

// Ends MPI unless a rank was lost: then MPI_Finalize would wait for it
// forever. Rank 0, its verdict out, ends the job with MPI_Abort, which also
// takes down a rank that hangs (mpirun would otherwise wait for it without
// end); any other rank ends on its own.
int End(int nRank, int nExit, bool bBroken) {
  std::fflush(stdout);
  std::fflush(stderr);
  if (bBroken && nRank == 0) MPI_Abort(MPI_COMM_WORLD, nExit != 0 ? nExit : 1);
  if (bBroken) std::_Exit(nExit);
  MPI_Finalize();
  return nExit;
}

}  // namespace

int main(int argc, char** argv) {
  // Before MPI starts its own threads, so that they too leave the
  // interrupts to the command's signal watch.
  CSignalWatch signals;
  int nProvided = 0;
  if (MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &nProvided) != MPI_SUCCESS) {
    std::fprintf(stderr, "stratavon-mpi: MPI did not start\n");
    return 2;
  }
  // Failures come back as values; a lost rank must not take the others down.
  MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN);
  int nRank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &nRank);

  // Every rank reads the same arguments, so every rank reaches the same
  // answer here; only rank 0 says it.
  RunOptions options;
  std::string szError;
  ParseOutcome outcome = ParseOutcome::kUsage;
  if (argc < 2 || std::strcmp(argv[1], "run") != 0) {
    const bool bHelp = argc >= 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0);
    if (nRank == 0) std::fputs(kUsage, bHelp ? stdout : stderr);
    return End(nRank, bHelp ? 0 : kExitRefused, false);
  }
  outcome = ParseRunOptions(argc - 1, argv + 1, options, &szError);
  if (outcome == ParseOutcome::kRun && options.bSimple) {
    outcome = ParseOutcome::kUsage;
    szError = "--simple counts nothing to gather; run the advanced workers (without --simple)";
  }
  if (outcome != ParseOutcome::kRun) {
    if (nRank == 0 && outcome == ParseOutcome::kHelp) std::fputs(kUsage, stdout);
    if (nRank == 0 && outcome == ParseOutcome::kUsage) {
      if (options.bJson) std::fputs(RefusedRunJson(szError).c_str(), stdout);
      std::fprintf(stderr, "stratavon-mpi: %s\n%s", szError.c_str(), kUsage);
    }
    return End(nRank, outcome == ParseOutcome::kHelp ? 0 : kExitRefused, false);
  }

  int nExit = kExitRefused;
  bool bBroken = false;
  {  // the peers let go of their requests before MPI ends
    CMpiPeers peers(MPI_COMM_WORLD, options.bJson);
    std::vector<std::string> rankFolders;
    for (Target& target : options.targets) {
      // A device is each host's own: every rank names its node as typed,
      // or as a template such as /dev/disk/by-id/{host}-data makes it.
      if (target.IsDevice()) continue;
      std::string szNode;
      dev_t nDevice = 0;
      if (ResolveBlockDevice(ExpandRankTemplate(target.szPath, peers.Rank(), peers.Host()), &szNode, &nDevice)) {
        target = DeviceTarget(szNode);
        target.qwDeviceNumber = nDevice;
        continue;
      }
      target.szPath = RankTarget(target.szPath, peers.Rank(), peers.Host());
      if (const std::string szWhy = RankFolderProblem(target.szPath); !szWhy.empty()) peers.AddRefusal(szWhy);
      rankFolders.push_back(target.szPath);
    }
    peers.SetRankFolders(rankFolders);
    // --destroy takes the same templates: each rank names its own device.
    for (std::string& szDestroy : options.destroy) szDestroy = ExpandRankTemplate(szDestroy, peers.Rank(), peers.Host());
    nExit = SuperviseRun(options, signals, &peers);
    if (const char* szCost = std::getenv("STRATAVON_MPI_COST"); szCost != nullptr && *szCost != '\0') {
      // For the benchmark: what the live exchange cost this rank's console thread.
      std::fprintf(stderr, "stratavon-mpi: rank %d exchange: %llu message(s), %.3f ms on the console thread\n", nRank,
                   static_cast<unsigned long long>(peers.ExchangeCount()),
                   std::chrono::duration<double, std::milli>(peers.ExchangeTime()).count());
    }
    bBroken = peers.Broken();
  }
  return End(nRank, nExit, bBroken);
}
