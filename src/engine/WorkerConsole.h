#pragma once

#include <string>

namespace stratavon {

// Columns of a console's target list that workers and consoles write.
enum TargetColumn : int {
  kColumnTarget = 0,
  kColumnStatus = 1,
  kColumnMbPerSec = 2,
  kColumnIops = 3,
  kColumnError = 4,
  kColumnOperation = 5,
  kColumnChunk = 6,
  kColumnBuffer = 7,
  kColumnPerformance = 8,
  kColumnErrorChecking = 9,
  kTargetColumns = 10,
};

// What a worker may change in the console that owns its run: a cell of the
// target list, the console's Status text and its Extended text. Calls come
// from worker threads; an implementation either guards its own state (the
// command line) or carries the change to its GUI thread and waits for it.
class IWorkerConsole {
 public:
  virtual ~IWorkerConsole() = default;
  virtual void SetTargetText(int nRow, int nColumn, const std::string& szText) = 0;
  virtual void SetStatusText(const std::string& szText) = 0;
  virtual void SetExtendedText(const std::string& szText) = 0;
};

}  // namespace stratavon
