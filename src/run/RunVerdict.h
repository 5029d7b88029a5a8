#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "engine/WorkerConsole.h"

namespace stratavon {

// Keeps a run's failures in sight. Every word the workers and the run
// control write passes through here on its way to a console's texts. Once
// one of a target's workers has failed, the target's Status cell reads
// "FAIL" and its Error cell keeps the failure's word until the next run
// begins, whatever the target's other workers and a Stop write after it; the
// console's Status stays "FAIL", and its Extended box, once a Stop has
// written "NONE", shows the last failure's text again. It also keeps each
// target's reason: the Extended text the thread that first failed the
// target wrote before it (a failing worker writes its Extended text, its
// Error word, then FAIL into its Status cell, all on its own thread).
//
// The words are passed on under this object's lock, so the order in which
// they reach the console is the order in which they were judged. Put it
// where the writes are applied (the GUI thread, or in front of a table that
// only takes a lock), never in front of anything that waits for another
// thread.
class CRunVerdict : public IWorkerConsole {
 public:
  explicit CRunVerdict(IWorkerConsole& out) : m_out(out) {}

  // A new run: the failures of the last one are forgotten.
  void BeginRun();

  void SetTargetText(int nRow, int nColumn, const std::string& szText) override;
  void SetStatusText(const std::string& szText) override;
  void SetExtendedText(const std::string& szText) override;

  // Workers that ended in FAIL since the run began, in all and per target
  // (a failing worker reports its failure once).
  int Failures() const;
  int FailuresOf(int nRow) const;
  // The first failure's words on a target (what the system said with
  // them); empty while none failed.
  std::string ReasonOf(int nRow) const;

 private:
  struct TargetState {
    int nFailures = 0;
    std::string szError;  // the last failure word written into the Error cell
    std::string szReason;
  };
  TargetState& StateOf(int nRow);

  IWorkerConsole& m_out;
  mutable std::mutex m_mutex;
  std::vector<TargetState> m_targets;
  bool m_bFailed = false;
  bool m_bFailureTextFollows = false;
  std::string m_szFailureText;
};

}  // namespace stratavon
