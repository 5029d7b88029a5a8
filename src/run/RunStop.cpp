#include "run/RunStop.h"

#include "engine/RunRecord.h"
#include "run/TargetRecords.h"

namespace stratavon {

StopResult StopRun(const StopHooks& hooks) {
  StopWorkers();
  StopResult result;
  while (!WaitForWorkers(hooks.dispatch, IoTimeout())) {
    const std::vector<std::string> stalls = FailStalledWorkers(hooks.pStalledRows);
    result.stalls.insert(result.stalls.end(), stalls.begin(), stalls.end());
    if (!hooks.onStalled || !hooks.onStalled(stalls)) {
      result.bEnded = false;
      break;
    }
  }
  return result;
}

}  // namespace stratavon
