#include "run/RunPreparation.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include "engine/DataFile.h"
#include "engine/EventSource.h"
#include "engine/Pattern.h"
#include "engine/RunRecord.h"
#include "engine/StampedPattern.h"
#include "workers/WorkerClasses.h"
#include "platform/DiskSpace.h"
#include "platform/IoQueue.h"
#include "platform/MessageBox.h"
#include "run/DeviceTargets.h"
#include "run/TargetRecords.h"

namespace stratavon {
namespace {

std::string g_szRefusal;

bool Refuse(const char* szConsoleMessage) {
  ShowMessageBox(szConsoleMessage, "Error", MessageIcon::kError);
  if (g_szRefusal.empty()) g_szRefusal = szConsoleMessage;
  return false;
}

bool RefusePlainly(const std::string& szWhy) {
  std::fprintf(stderr, "stratavon-cli: %s\n", szWhy.c_str());
  g_szRefusal = g_szRefusal.empty() ? szWhy : g_szRefusal + ": " + szWhy;
  return false;
}

std::string Upper(std::string sz) {
  for (char& c : sz) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return sz;
}

// The pattern menu's named kinds, or the typed byte as the Pattern edit
// holds it (upper case, two characters).
bool ChoosePattern(const RunOptions& options) {
  const std::string szPattern = Upper(options.szPattern);
  if (szPattern == "CRPAT") {
    g_nPatternKind = kPatternCrpat;
  } else if (szPattern == "CJTPAT") {
    g_nPatternKind = kPatternCjtpat;
  } else if (szPattern == "CSPAT") {
    g_nPatternKind = kPatternCspat;
  } else {
    g_nPatternKind = kPatternByte;
    if (szPattern.size() != 2 || !ParsePatternByte(szPattern)) return Refuse("Invalid Data Pattern!");
  }
  return true;
}

// Two spellings of one folder would put two targets' workers on the same
// work files.
bool TargetsDistinct(const std::vector<Target>& targets) {
  std::set<std::string> seen;
  for (const Target& target : targets) {
    const std::string& szRoot = target.szPath;
    std::unique_ptr<char, decltype(&std::free)> pReal(realpath(szRoot.c_str(), nullptr), &std::free);
    const std::string szKey = pReal ? std::string(pReal.get()) + "/" : szRoot;
    if (!seen.insert(szKey).second) return RefusePlainly("target " + szRoot + " is given twice");
  }
  return true;
}

// Whether this build has every worker class the settings call for.
bool ClassesAvailable(const RunOptions& options) {
  if (!options.choices.bAsynchronous) return true;
  // A backend asked for by name and not available would fail every worker
  // without a word; it is refused here instead.
  if (const std::string szProblem = CIoQueue::BackendChoiceProblem(); !szProblem.empty()) {
    return RefusePlainly(szProblem);
  }
  if (AdvancedWorkerFactory(kWorkerReadAdvancedAsync) != nullptr &&
      AdvancedWorkerFactory(kWorkerWriteAdvancedAsync) != nullptr) {
    return true;
  }
  return RefusePlainly("-a: the asynchronous workers are not available in this build yet; run without -a");
}

bool LoadDataFile(const std::string& szPath) {
  std::string szLabel;
  const DataFileResult result = ImportDataFile(szPath, &szLabel);
  if (result != DataFileResult::kLoaded) {
    return RefusePlainly("data file " + szPath + " " + DescribeDataFileResult(result));
  }
  if (DataFileBytes() <= kPatternFileLabelBytes) {
    std::fprintf(stderr,
                 "stratavon-cli: data file %s holds no pattern bytes after its 16-byte label; "
                 "its workers will fail with INITIALIZATION\n",
                 szPath.c_str());
  }
  return true;
}

bool PrepareTargets(const std::vector<Target>& targets) {
  if (!BuildTargetRecords(targets)) return Refuse("Target Initialization Failure.");
  std::string szFailed;
  std::string szWhy;
  switch (CreateWorkDirectories(targets, &szFailed, &szWhy)) {
    case WorkDirectoryResult::kCreated:
      break;
    case WorkDirectoryResult::kPathNotFound:
      Refuse("Directory Creation Error!");
      return RefusePlainly(szWhy);
    case WorkDirectoryResult::kPathTooLong:
    case WorkDirectoryResult::kNotDirectory:
    case WorkDirectoryResult::kTargetBusy:
      return RefusePlainly(szWhy);
  }
  ResetTargetRecords();
  return true;
}

// The simple console's start: its checks in its order, then the records
// and directories. Its records' settings stay zero and it writes no events.
bool PrepareSimpleRun(const RunOptions& options, const std::function<bool()>& beforeTouching) {
  if (!ChoosePattern(options)) return false;
  if (options.targets.empty()) return Refuse("No Targets Selected!");
  if (options.dwFunction == 0) return Refuse("Select an I/O Function!");
  if (!TargetsDistinct(options.targets)) return false;
  std::vector<Target> targets;
  if (std::string szWhy; !CheckDeviceTargets(options, &targets, &szWhy)) return RefusePlainly(szWhy);
  if (beforeTouching && !beforeTouching()) return false;
  return PrepareTargets(options.targets);
}

}  // namespace

std::string BufferedDirectIoNotes(const std::vector<Target>& targets) {
  std::string szNotes;
  for (const Target& target : targets) {
    if (target.IsDevice()) continue;
    const std::string& szRoot = target.szPath;
    DiskSpaceInfo disk;
    if (GetDiskFreeSpace(szRoot, disk) && !disk.bAlignmentKnown) {
      szNotes += "stratavon-cli: " + szRoot +
                 ": its file system reports no direct-I/O alignment; direct I/O there may be served from the page "
                 "cache\n";
    }
  }
  return szNotes + DeviceTargetLines();
}
const std::string& RefusalText() { return g_szRefusal; }

bool PrepareRun(const RunOptions& options, const std::function<bool()>& beforeTouching) {
  g_szRefusal.clear();
  g_bStampedPattern = options.bStamped;
  if (options.bSimple) return PrepareSimpleRun(options, beforeTouching);
  if (!options.bPatternGiven && !options.szDataFile.empty()) {
    g_nPatternKind = kPatternByte;  // replaced by the data file below
  } else if (!ChoosePattern(options)) {
    return false;
  }
  if (options.targets.empty()) return Refuse("No Targets Selected!");
  if (options.dwFunction == 0) return Refuse("Select an I/O Function!");
  if (!TargetsDistinct(options.targets)) return false;
  std::vector<Target> targets;
  if (std::string szWhy; !CheckDeviceTargets(options, &targets, &szWhy)) return RefusePlainly(szWhy);

  if (options.choices.dwTransferSize > options.choices.dwBufferSize) return Refuse("Transfer Size > Buffer Size!");
  if (!ClassesAvailable(options)) return false;
  if (!options.szDataFile.empty() && !LoadDataFile(options.szDataFile)) return false;

  // Every advanced worker opens the log first and fails without one; say
  // why once, before anything is made.
  if (std::string szWhy; !CheckEventLogWritable(&szWhy)) return RefusePlainly("the event log cannot be written: " + szWhy);
  if (beforeTouching && !beforeTouching()) return false;
  if (!PrepareTargets(targets)) return false;
  (void)RegisterEventLogSource(kEventLogName, kEventSourceName, kEventMessageFile);
  return true;
}

}  // namespace stratavon
