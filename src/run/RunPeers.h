#pragma once

#include <string>

#include "run/RunSummary.h"

namespace stratavon {

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
  // Returns why the whole run stops now, or empty to go on.
  virtual std::string Poll(const std::string& szLocalStop, bool bWorkersEnded) = 0;
  // Whether this process prints the run's live view and its verdict.
  virtual bool Reports() const = 0;
  // This process's result once its workers have ended: gathers the others'
  // and (where Reports()) prints the verdict of the whole run. Returns the
  // exit code every process ends with.
  virtual int Finish(const RunResult& result) = 0;
};

}  // namespace stratavon
