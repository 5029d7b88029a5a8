#pragma once

#include <cstdint>
#include <string>

#include "run/RunSummary.h"
#include "run/RunWire.h"

namespace stratavon {

// This process's counters so far, as the peers show them while the run goes on.
struct PeerSample {
  uint64_t qwBytes = 0;
  uint64_t qwIos = 0;
  int nFailures = 0;  // workers that reported a failure
};
// The sample of this process's records.
PeerSample LocalSample();

// The other processes of a run that spans several processes or hosts
// (stratavon-mpi's ranks). The command calls these from its own thread at
// the points where the processes must act as one; without peers it runs
// alone. Every process calls Agree the same number of times in the same
// order.
class IRunPeers {
 public:
  virtual ~IRunPeers() = default;

  // A meeting point: szRefusal empty when this process is ready to go on.
  // Returns once every process has arrived (or has been given up on): empty
  // when all of them are ready, else why not, naming each that refused.
  virtual std::string Agree(const std::string& szRefusal) = 0;
  // While the workers run, at least every few hundred milliseconds.
  // szLocalStop: why this process wants the run to end ("SIGINT",
  // "duration", ...) or empty; bWorkersEnded: none of its workers is left.
  // sample: this process's counters. Returns why the whole run stops now,
  // or empty to go on.
  virtual std::string Poll(const std::string& szLocalStop, bool bWorkersEnded, const PeerSample& sample) = 0;
  // Whether this process prints the run's live view and its verdict.
  virtual bool Reports() const = 0;
  // This process's result once its workers have ended: gathers the others'
  // and (where Reports()) prints the verdict of the whole run. Returns the
  // exit code every process ends with.
  virtual int Finish(const RunResult& result) = 0;
  // The same for a result this process rendered elsewhere (the process that
  // ran its I/O rendered it, or the supervisor decided it).
  virtual int FinishRank(const RankResult& rank, const std::string& szStoppedBy) = 0;
};

}  // namespace stratavon
