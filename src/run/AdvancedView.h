#pragma once

#include <string>

#include "engine/WorkerConsole.h"

namespace stratavon {

// What the advanced console shows besides the cells, Status and Extended
// texts its workers write: the two rate boxes, the Start and Stop buttons
// and its two timers. The desktop dialog implements it with its controls
// and QTimers; the command line with a table and its own clock.
class IAdvancedView : public IWorkerConsole {
 public:
  virtual void SetPerformanceText(const std::string& szText) = 0;
  virtual void SetIopsText(const std::string& szText) = 0;
  virtual void SetElapsedText(const std::string& szText) = 0;
  virtual void EnableStart(bool bEnable) = 0;
  virtual void EnableStop(bool bEnable) = 0;
  // Timer 1 (elapsed time, every 1000 ms) always; timer 2 (rates, every
  // 2000 ms) only when bStats is set.
  virtual void StartTimers(bool bStats) = 0;
  virtual void KillTimers() = 0;
  // Paints what changed at once, before a long wait begins.
  virtual void Repaint() {}
  // A run begins: what the last one's failures left on show may go.
  virtual void BeginRun() {}
};

}  // namespace stratavon
