#include "run/RunPreparation.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include "engine/DataFile.h"
#include "engine/EventSource.h"
#include "engine/FlushJournal.h"
#include "engine/Pattern.h"
#include "engine/RunRecord.h"
#include "engine/StampedPattern.h"
#include "workers/WorkerClasses.h"
#include "platform/DiskSpace.h"
#include "platform/IoQueue.h"
#include "platform/MessageBox.h"
#include "platform/StateDirectory.h"
#include "platform/SystemError.h"
#include "run/RunChoices.h"
#include "run/DeviceTargets.h"
#include "run/TargetRecords.h"

namespace stratavon {
namespace {

RunRefusal Refusal(std::string szMessage, std::string szWhy = {}) {
  RunRefusal refusal;
  refusal.szMessage = std::move(szMessage);
  refusal.szWhy = std::move(szWhy);
  return refusal;
}

RunRefusal PlainRefusal(std::string szWhy) { return Refusal({}, std::move(szWhy)); }

std::string Upper(std::string sz) {
  for (char& c : sz) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return sz;
}

// The pattern menu's named kinds, or the typed byte as the Pattern edit
// holds it (upper case, two characters).
StartRefusal ChoosePattern(const RunOptions& options) {
  const std::string szPattern = Upper(options.szPattern);
  if (szPattern == "CRPAT") {
    g_nPatternKind = kPatternCrpat;
  } else if (szPattern == "CJTPAT") {
    g_nPatternKind = kPatternCjtpat;
  } else if (szPattern == "CSPAT") {
    g_nPatternKind = kPatternCspat;
  } else {
    g_nPatternKind = kPatternByte;
    if (szPattern.size() != 2 || !ParsePatternByte(szPattern)) return Refusal(kMsgInvalidPattern);
  }
  return {};
}

// Two spellings of one folder would put two targets' workers on the same
// work files.
StartRefusal TargetsDistinct(const std::vector<Target>& targets) {
  std::set<std::string> seen;
  for (const Target& target : targets) {
    const std::string& szRoot = target.szPath;
    std::unique_ptr<char, decltype(&std::free)> pReal(realpath(szRoot.c_str(), nullptr), &std::free);
    const std::string szKey = pReal ? std::string(pReal.get()) + "/" : szRoot;
    if (!seen.insert(szKey).second) return PlainRefusal("target " + szRoot + " is given twice");
  }
  return {};
}

// Whether this build has every worker class the settings call for.
StartRefusal ClassesAvailable(const RunOptions& options) {
  if (!options.choices.bAsynchronous) return {};
  // A backend asked for by name and not available would fail every worker
  // without a word; it is refused here instead.
  if (std::string szProblem = CIoQueue::BackendChoiceProblem(); !szProblem.empty()) {
    return PlainRefusal(std::move(szProblem));
  }
  if (AdvancedWorkerFactory(kWorkerReadAdvancedAsync) != nullptr &&
      AdvancedWorkerFactory(kWorkerWriteAdvancedAsync) != nullptr) {
    return {};
  }
  return PlainRefusal("-a: the asynchronous workers are not available in this build yet; run without -a");
}

StartRefusal LoadDataFile(const std::string& szPath) {
  std::string szLabel;
  const DataFileResult result = ImportDataFile(szPath, &szLabel);
  if (result != DataFileResult::kLoaded) {
    return PlainRefusal("data file " + szPath + " " + DescribeDataFileResult(result));
  }
  if (DataFileBytes() <= kPatternFileLabelBytes) {
    std::fprintf(stderr,
                 "stratavon-cli: data file %s holds no pattern bytes after its 16-byte label; "
                 "its workers will fail with INITIALIZATION\n",
                 szPath.c_str());
  }
  return {};
}

StartRefusal CheckTargetsOf(const RunOptions& options) {
  return CheckTargetsAndFunction(!options.targets.empty(), options.targets, options.dwFunction);
}

// The simple console's start: its checks in its order, then the records
// and directories. Its records' settings stay zero and it writes no events.
StartRefusal PrepareSimpleRun(const RunOptions& options, const std::function<bool()>& beforeTouching) {
  if (StartRefusal refusal = ChoosePattern(options)) return refusal;
  if (StartRefusal refusal = CheckTargetsOf(options)) return refusal;
  std::vector<Target> targets;
  if (std::string szWhy; !CheckDeviceTargets(options, &targets, &szWhy)) return PlainRefusal(szWhy);
  if (beforeTouching && !beforeTouching()) return RunRefusal{};
  if (StartRefusal refusal = PrepareTargets(targets)) return refusal;
  ResetTargetRecords();
  return {};
}

}  // namespace

std::string RunRefusal::Text() const {
  const std::string szShown = bConsoleOnly ? std::string() : szMessage;
  if (szShown.empty()) return szWhy;
  return szWhy.empty() ? szShown : szShown + ": " + szWhy;
}

void PrintRefusal(const RunRefusal& refusal) {
  if (!refusal.bConsoleOnly && !refusal.szMessage.empty()) {
    ShowMessageBox(refusal.szMessage, "Error", MessageIcon::kError);
  }
  if (!refusal.szWhy.empty()) std::fprintf(stderr, "stratavon-cli: %s\n", refusal.szWhy.c_str());
}

StartRefusal CheckTargetsAndFunction(bool bTargetsChosen, const std::vector<Target>& targets,
                                     uint32_t dwFunction) {
  if (!bTargetsChosen) return Refusal(kMsgNoTargets);
  if (dwFunction == 0) return Refusal(kMsgSelectFunction);
  return TargetsDistinct(targets);
}

StartRefusal PrepareTargets(const std::vector<Target>& targets) {
  if (!BuildTargetRecords(targets)) return Refusal(kMsgTargetInitFailure);
  std::string szFailed;
  std::string szWhy;
  switch (CreateWorkDirectories(targets, &szFailed, &szWhy)) {
    case WorkDirectoryResult::kCreated:
      return {};
    case WorkDirectoryResult::kPathNotFound:
      return Refusal(kMsgDirectoryCreation, szWhy);
    case WorkDirectoryResult::kPathTooLong: {
      RunRefusal refusal = Refusal(std::string(kMsgTargetPathTooLong) + "\n" + szFailed, szWhy);
      refusal.bConsoleOnly = true;
      return refusal;
    }
    case WorkDirectoryResult::kNotDirectory:
    case WorkDirectoryResult::kTargetBusy:
      break;
  }
  return PlainRefusal(szWhy);
}

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

namespace {

// The journal of --flush-every, opened once before the workers start: a
// listener that cannot be reached refuses the run rather than leave its
// flushes unrecorded.
std::unique_ptr<CFlushJournal> s_pJournal;

StartRefusal OpenFlushJournal(const RunOptions& options) {
  g_qwFlushEveryBytes = options.qwFlushEveryBytes;
  g_pFlushJournal = nullptr;
  s_pJournal.reset();
  if (options.qwFlushEveryBytes == 0) return {};
  std::string szWhere = options.szJournal;
  if (szWhere.empty()) {
    if (!EnsureStateDirectory()) return PlainRefusal(StateDirectory() + ": " + FormatSystemMessage(errno));
    szWhere = StateDirectory() + "/flush-journal";
  }
  auto pJournal = std::make_unique<CFlushJournal>();
  if (std::string szWhy; !pJournal->Open(szWhere, &szWhy)) return PlainRefusal(szWhy);
  s_pJournal = std::move(pJournal);
  g_pFlushJournal = s_pJournal.get();
  return {};
}

}  // namespace

bool CloseFlushJournal(std::string* pszError) {
  if (!s_pJournal) return true;
  return s_pJournal->Close(IoTimeout(), pszError);
}

StartRefusal PrepareRun(const RunOptions& options, const std::function<bool()>& beforeTouching) {
  g_bStampedPattern = options.bStamped;
  g_qwFlushEveryBytes = 0;
  if (options.bSimple) return PrepareSimpleRun(options, beforeTouching);
  if (!options.bPatternGiven && !options.szDataFile.empty()) {
    g_nPatternKind = kPatternByte;  // replaced by the data file below
  } else if (StartRefusal refusal = ChoosePattern(options)) {
    return refusal;
  }
  if (StartRefusal refusal = CheckTargetsOf(options)) return refusal;
  std::vector<Target> targets;
  if (std::string szWhy; !CheckDeviceTargets(options, &targets, &szWhy)) return PlainRefusal(szWhy);

  if (RunSettings settings; !ApplyRunChoices(options.choices, options.nThreads, settings)) {
    return Refusal(kMsgTransferOverBuffer);
  }
  if (StartRefusal refusal = ClassesAvailable(options)) return refusal;
  if (!options.szDataFile.empty()) {
    if (StartRefusal refusal = LoadDataFile(options.szDataFile)) return refusal;
  }

  // Every advanced worker opens the log first and fails without one; say
  // why once, before anything is made.
  if (std::string szWhy; !CheckEventLogWritable(&szWhy)) {
    return PlainRefusal("the event log cannot be written: " + szWhy);
  }
  if (beforeTouching && !beforeTouching()) return RunRefusal{};
  if (StartRefusal refusal = OpenFlushJournal(options)) return refusal;
  if (StartRefusal refusal = PrepareTargets(targets)) return refusal;
  ResetTargetRecords();
  (void)RegisterEventLogSource(kEventLogName, kEventSourceName, kEventMessageFile);
  return {};
}

}  // namespace stratavon
