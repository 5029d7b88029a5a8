#pragma once

#include <chrono>

namespace stratavon {

// The command line's interrupt signals (SIGINT, SIGTERM, and SIGHUP unless
// the process was started with it ignored, as nohup does) taken out
// of the asynchronous world: blocked in the calling thread, and so in every
// thread it creates afterwards, and read one by one from a signalfd. Build
// it before any thread exists. The signals stay blocked for the life of the
// process, so none can end it between the run and its report. SIGPIPE is
// ignored: a closed output must not end a run before its workers are down.
class CSignalWatch {
 public:
  CSignalWatch();
  ~CSignalWatch();
  CSignalWatch(const CSignalWatch&) = delete;
  CSignalWatch& operator=(const CSignalWatch&) = delete;

  bool IsValid() const { return m_hSignals >= 0; }
  // Waits up to the time-out for one of the signals; its number, or 0.
  int Wait(std::chrono::milliseconds timeout);
  // A signal that has arrived already, without waiting; its number, or 0.
  int Poll() { return Wait(std::chrono::milliseconds(0)); }
  // Readable while a signal waits, for a caller that waits on more.
  int Handle() const { return m_hSignals; }

 private:
  int m_hSignals = -1;
};

}  // namespace stratavon
