#include "cli/VerifyCommand.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "run/RunCommand.h"
#include "engine/JournalScan.h"
#include "engine/StampedScan.h"
#include "platform/BlockDevice.h"
#include "platform/JsonText.h"

namespace stratavon {
namespace {

constexpr size_t kTextRanges = 50;  // a map this long says enough; --json has them all

std::string Lower(const char* sz) {
  std::string szLower = sz;
  for (char& c : szLower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return szLower;
}

std::string RangeText(const BadRange& range, uint32_t dwPass) {
  std::string sz = "  " + std::string(UnitStateWord(range.first.state)) + " " + std::to_string(range.qwOffset) + ".." +
                   std::to_string(range.qwOffset + range.qwBytes - 1);
  switch (range.first.state) {
    case UnitState::kMisdirected:
      sz += ": first unit carries offset " + std::to_string(range.first.qwFoundOffset) + " of slot " +
            std::to_string(range.first.dwFoundSlot);
      break;
    case UnitState::kStale:
      sz += ": pass " + std::to_string(range.first.dwFoundPass) + " where " + std::to_string(dwPass) + " was written";
      break;
    case UnitState::kForeign:
      sz += range.first.qwFoundRunId != 0 ? ": written by run " + StampRunIdText(range.first.qwFoundRunId)
                                          : ": not stamped by this program";
      break;
    default:
      break;
  }
  return sz + "\n";
}

std::string ScanText(const FileScan& scan, const char* szPassFrom) {
  if (!scan.szError.empty()) return "verify: " + scan.szPath + ": cannot be read: " + scan.szError + "\n";
  std::string sz = "verify: " + scan.szPath + "  " + std::to_string(scan.qwBytes) + " bytes";
  if (!scan.bIdentityKnown) return sz + ", no unit stamped by this program: FOREIGN throughout\n";
  sz += ", run " + StampRunIdText(scan.id.qwRunId) + ", slot " + std::to_string(scan.id.dwSlot) + ", pass " +
        std::to_string(scan.dwPass) + " (" + szPassFrom + "), units of " + std::to_string(scan.id.dwUnitBytes) + "\n";
  sz += "  good " + std::to_string(scan.aqwUnits[0]) + "  corrupt " + std::to_string(scan.aqwUnits[1]) +
        "  misdirected " + std::to_string(scan.aqwUnits[2]) + "  stale " + std::to_string(scan.aqwUnits[3]) +
        "  foreign " + std::to_string(scan.aqwUnits[4]) + "\n";
  if (scan.qwPassEnd != 0) {
    sz += "  pass " + std::to_string(scan.dwPass) + " stopped at " + std::to_string(scan.qwPassEnd) +
          (scan.dwPass > 1 ? ", pass " + std::to_string(scan.dwPass - 1) + " after\n" : ", nothing written after\n");
  }
  for (size_t i = 0; i < scan.bad.size() && i < kTextRanges; ++i) {
    sz += RangeText(scan.bad[i], scan.PassAt(scan.bad[i].qwOffset));
  }
  if (scan.bad.size() > kTextRanges) sz += "  ... " + std::to_string(scan.bad.size() - kTextRanges) + " more ranges\n";
  if (scan.qwUnreadableBytes != 0) {
    sz += "  unreadable: " + std::to_string(scan.qwUnreadableBytes) + " bytes, the first at " +
          std::to_string(scan.qwFirstUnreadable) + "\n";
  }
  if (scan.qwMissingBytes != 0) {
    sz += "  cut short: " + std::to_string(scan.qwMissingBytes) + " bytes missing" +
          (scan.qwExpectedBytes != 0 ? " of " + std::to_string(scan.qwExpectedBytes) : std::string(" (a partial unit)")) +
          "\n";
  }
  return sz;
}

// The opening of a file's JSON object: path, verdict and, when the file
// could not be judged, why (the object then lacks only its brace).
std::string FileJsonHead(const std::string& szPath, bool bGood, const std::string& szError) {
  std::string sz = "{\"path\": ";
  AppendJsonString(sz, szPath);
  sz += ", \"good\": " + std::string(bGood ? "true" : "false");
  if (!szError.empty()) {
    sz += ", \"error\": ";
    AppendJsonString(sz, szError);
  }
  return sz;
}

std::string ScanJson(const FileScan& scan, const char* szPassFrom) {
  std::string sz = FileJsonHead(scan.szPath, scan.Good(), scan.szError);
  if (!scan.szError.empty()) return sz + "}";
  sz += ", \"bytes\": " + std::to_string(scan.qwBytes) + ", \"expected_bytes\": " +
        std::to_string(scan.qwExpectedBytes) + ", \"missing_bytes\": " + std::to_string(scan.qwMissingBytes) +
        ", \"unreadable_bytes\": " + std::to_string(scan.qwUnreadableBytes) +
        ", \"stamped\": " + (scan.bIdentityKnown ? "true" : "false");
  if (scan.bIdentityKnown) {
    sz += ", \"run_id\": \"" + StampRunIdText(scan.id.qwRunId) + "\", \"slot\": " + std::to_string(scan.id.dwSlot) +
          ", \"pass\": " + std::to_string(scan.dwPass) + ", \"pass_from\": \"" + szPassFrom +
          "\", \"pass_end\": " + std::to_string(scan.qwPassEnd) + ", \"unit_bytes\": " +
          std::to_string(scan.id.dwUnitBytes);
  }
  sz += ", \"units\": {";
  for (int i = 0; i < kUnitStates; ++i) {
    sz += (i == 0 ? "\"" : ", \"") + Lower(UnitStateWord(static_cast<UnitState>(i))) + "\": " +
          std::to_string(scan.aqwUnits[i]);
  }
  sz += "}, \"bad\": [";
  for (size_t i = 0; i < scan.bad.size(); ++i) {
    const BadRange& range = scan.bad[i];
    sz += std::string(i > 0 ? ", " : "") + "{\"offset\": " + std::to_string(range.qwOffset) +
          ", \"bytes\": " + std::to_string(range.qwBytes) + ", \"state\": \"" + UnitStateWord(range.first.state) +
          "\", \"found_offset\": " + std::to_string(range.first.qwFoundOffset) +
          ", \"found_pass\": " + std::to_string(range.first.dwFoundPass) + "}";
  }
  return sz + "]}";
}

std::string Seconds(uint64_t qwNs) {
  char sz[32];
  std::snprintf(sz, sizeof sz, "%.3f s", static_cast<double>(qwNs) / 1e9);
  return sz;
}

std::string FlushScanText(const FlushScan& scan) {
  if (!scan.szError.empty()) return "verify: " + scan.szPath + ": " + scan.szError + "\n";
  std::string sz = "verify: " + scan.szPath + "  " + std::to_string(scan.qwBytes) + " bytes judged, run " +
                   StampRunIdText(scan.id.qwRunId) + ", slot " + std::to_string(scan.id.dwSlot) + ", units of " +
                   std::to_string(scan.id.dwUnitBytes) + ", " + std::to_string(scan.qwRecords) + " journal records\n ";
  for (int i = 0; i < kFlushClasses; ++i) {
    sz += " " + Lower(FlushClassWord(static_cast<FlushClass>(i))) + " " + std::to_string(scan.aqwUnits[i]);
    if (static_cast<FlushClass>(i) == FlushClass::kTorn) sz += " (" + std::to_string(scan.qwTornFlushed) + " flushed)";
  }
  sz += "\n";
  for (FlushClass nClass : {FlushClass::kLostFlush, FlushClass::kTorn, FlushClass::kCorrupt, FlushClass::kMisdirected,
                            FlushClass::kForeign}) {
    const int i = static_cast<int>(nClass);
    if (scan.aqwUnits[i] == 0 || (nClass == FlushClass::kTorn && scan.qwTornFlushed == 0)) continue;
    sz += "  " + std::string(FlushClassWord(nClass)) + " first at offset " + std::to_string(scan.aqwFirst[i]) + "\n";
  }
  if (scan.qwLastFlushNs == 0) {
    sz += "  no flush of this file was journaled\n";
  } else if (scan.qwCutNs != 0) {
    sz += "  the listener lost the writer " + Seconds(scan.qwCutNs - std::min(scan.qwCutNs, scan.qwLastFlushNs)) +
          " after the last journaled flush\n";
  } else {
    sz += scan.bEnded ? "  the worker ended on its own after its last journaled flush\n"
                      : "  the journal does not say when the power went after the last flush\n";
  }
  return sz;
}

std::string FlushScanJson(const FlushScan& scan) {
  std::string sz = FileJsonHead(scan.szPath, scan.Good(), scan.szError);
  if (!scan.szError.empty()) return sz + "}";
  sz += ", \"bytes\": " + std::to_string(scan.qwBytes) + ", \"run_id\": \"" + StampRunIdText(scan.id.qwRunId) +
        "\", \"slot\": " + std::to_string(scan.id.dwSlot) + ", \"unit_bytes\": " +
        std::to_string(scan.id.dwUnitBytes) + ", \"journal_records\": " + std::to_string(scan.qwRecords) +
        ", \"torn_flushed\": " + std::to_string(scan.qwTornFlushed) + ", \"units\": {";
  std::string szFirst;
  for (int i = 0; i < kFlushClasses; ++i) {
    std::string szKey = Lower(FlushClassWord(static_cast<FlushClass>(i)));
    for (char& c : szKey) c = c == ' ' ? '_' : c;
    sz += (i == 0 ? "\"" : ", \"") + szKey + "\": " + std::to_string(scan.aqwUnits[i]);
    if (scan.aqwFirst[i] != UINT64_MAX) {
      szFirst += (szFirst.empty() ? "\"" : ", \"") + szKey + "\": " + std::to_string(scan.aqwFirst[i]);
    }
  }
  sz += "}, \"first_offset\": {" + szFirst + "}, \"last_flush_ns\": " + std::to_string(scan.qwLastFlushNs) +
        ", \"cut_ns\": " + std::to_string(scan.qwCutNs) + ", \"ended\": " + (scan.bEnded ? "true" : "false");
  return sz + "}";
}

// verify --journal: every unit judged against the flushes journaled; the
// files are those given, or those the journal names (under a folder given).
int VerifyWithJournal(const std::string& szJournal, const std::vector<std::string>& given, bool bJson) {
  std::vector<JournalRecord> records;
  uint64_t qwSkipped = 0;
  std::string szError;
  if (!ReadJournal(szJournal, &records, &qwSkipped, &szError)) {
    std::fprintf(stderr, "stratavon-cli: verify: %s\n", szError.c_str());
    return kExitRefused;
  }
  std::vector<std::string> files;
  for (const std::string& szGiven : given) {
    struct stat st = {};
    if (stat(szGiven.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      for (const std::string& szFile : JournalFiles(records, szGiven)) files.push_back(szFile);
    } else {
      files.push_back(szGiven);
    }
  }
  if (given.empty()) files = JournalFiles(records, "");
  if (files.empty()) {
    std::fprintf(stderr, "stratavon-cli: verify: the journal %s names no file to judge\n", szJournal.c_str());
    return kExitRefused;
  }
  bool bAllGood = true;
  std::string szJson = "{\"journal\": ";
  AppendJsonString(szJson, szJournal);
  szJson += ", \"skipped_lines\": " + std::to_string(qwSkipped) + ", \"files\": [";
  for (size_t i = 0; i < files.size(); ++i) {
    const FlushScan scan = ScanWithJournal(files[i], records);
    bAllGood = bAllGood && scan.Good();
    if (bJson) {
      szJson += (i > 0 ? ", " : "") + FlushScanJson(scan);
    } else {
      std::fputs(FlushScanText(scan).c_str(), stdout);
    }
  }
  if (bJson) {
    std::fputs((szJson + "], \"good\": " + (bAllGood ? "true" : "false") + "}\n").c_str(), stdout);
  } else {
    if (qwSkipped != 0) std::printf("verify: %llu damaged journal lines passed over\n", static_cast<unsigned long long>(qwSkipped));
    std::fputs(bAllGood ? "verdict: PASS, every flush the target acknowledged holds\n"
                        : "verdict: FAIL, not every unit holds what the journal says was durable\n",
               stdout);
  }
  return bAllGood ? kExitPassed : kExitWorkerFailed;
}

std::string DeviceText(const std::string& szNode, const DeviceVerdict& sum, uint32_t dwSector) {
  std::string sz = "device " + szNode + ": good " + std::to_string(sum.qwGoodBytes) + " bytes";
  if (sum.qwFirstBad != UINT64_MAX) {
    sz += ", first bad at offset " + std::to_string(sum.qwFirstBad) + " (LBA " + std::to_string(sum.qwFirstBad / dwSector) +
          ")";
  }
  sz += "; units misdirected " + std::to_string(sum.aqwUnits[2]) + ", stale " + std::to_string(sum.aqwUnits[3]) +
        ", foreign " + std::to_string(sum.aqwUnits[4]) + ", corrupt " + std::to_string(sum.aqwUnits[1]) +
        "; unreadable " + std::to_string(sum.qwUnreadableBytes) + " bytes\n";
  if (sum.qwRealCapacity != 0) {
    sz += "real capacity: " + std::to_string(sum.qwRealCapacity) + " bytes" +
          (sum.bWraps ? " (the device wraps: offset X is stored at X mod " + std::to_string(sum.qwRealCapacity) + ")\n"
                      : "\n");
  }
  return sz;
}

std::string DeviceJson(const std::string& szNode, const DeviceVerdict& sum, uint32_t dwSector) {
  std::string sz = "{\"node\": ";
  AppendJsonString(sz, szNode);
  sz += ", \"good_bytes\": " + std::to_string(sum.qwGoodBytes) + ", \"first_bad_lba\": " +
        (sum.qwFirstBad == UINT64_MAX ? std::string("null") : std::to_string(sum.qwFirstBad / dwSector)) +
        ", \"misdirected\": " + std::to_string(sum.aqwUnits[2]) + ", \"stale\": " + std::to_string(sum.aqwUnits[3]) +
        ", \"foreign\": " + std::to_string(sum.aqwUnits[4]) + ", \"corrupt\": " + std::to_string(sum.aqwUnits[1]) +
        ", \"unreadable_bytes\": " + std::to_string(sum.qwUnreadableBytes) + ", \"real_capacity\": " +
        (sum.qwRealCapacity == 0 ? std::string("null") : std::to_string(sum.qwRealCapacity)) +
        ", \"wraps\": " + (sum.bWraps ? "true" : "false") + "}";
  return sz;
}

}  // namespace

int VerifyCommand(int argc, char** argv) {
  bool bJson = false;
  uint32_t dwPass = 0;
  std::string szJournal;
  std::vector<std::string> files;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      bJson = true;
    } else if (std::strcmp(argv[i], "--pass") == 0 && i + 1 < argc) {
      char* pEnd = nullptr;
      const unsigned long n = std::strtoul(argv[++i], &pEnd, 10);
      if (pEnd == argv[i] || *pEnd != '\0' || n == 0 || n > UINT32_MAX) {
        std::fprintf(stderr, "stratavon-cli: --pass takes a pass number from 1, not \"%s\"\n", argv[i]);
        return kExitRefused;
      }
      dwPass = static_cast<uint32_t>(n);
    } else if (std::strcmp(argv[i], "--journal") == 0 && i + 1 < argc) {
      szJournal = argv[++i];
    } else if (argv[i][0] == '-') {
      std::fprintf(stderr, "stratavon-cli: verify takes files, --pass N, --journal FILE and --json, not \"%s\"\n",
                   argv[i]);
      return kExitRefused;
    } else {
      files.emplace_back(argv[i]);
    }
  }
  if (!szJournal.empty()) {
    if (dwPass != 0) {
      std::fprintf(stderr, "stratavon-cli: verify: --journal says which pass each unit should hold; drop --pass\n");
      return kExitRefused;
    }
    return VerifyWithJournal(szJournal, files, bJson);
  }
  if (files.empty()) {
    std::fprintf(stderr, "stratavon-cli: verify needs at least one work file\n");
    return kExitRefused;
  }
  std::vector<FileVerdict> verdicts;
  std::string szDeviceText, szDeviceJson;
  for (const std::string& szFile : files) {
    std::string szNode;
    if (!ResolveBlockDevice(szFile, &szNode, nullptr)) {
      verdicts.push_back(VerifyStampedFile(szFile, dwPass));
      continue;
    }
    // A device: every slice its stamped fill recorded, each over its extent.
    std::vector<FileVerdict> slices = VerifyStampedSlices(szNode, dwPass);
    if (slices.empty()) {
      std::fprintf(stderr, "stratavon-cli: no stamped fill of %s is recorded in %s\n", szNode.c_str(),
                   StampRecordPath().c_str());
      return kExitRefused;
    }
    uint32_t dwSector = 512;
    if (BlockDeviceInfo info; ProbeBlockDevice(szNode, &info, nullptr)) dwSector = info.dwLogicalSectorBytes;
    szDeviceText += DeviceText(szNode, SumSlices(slices), dwSector);
    szDeviceJson += (szDeviceJson.empty() ? "" : ", ") + DeviceJson(szNode, SumSlices(slices), dwSector);
    verdicts.insert(verdicts.end(), slices.begin(), slices.end());
  }
  const bool bAllGood = EveryFileGood(verdicts);
  if (bJson) {
    std::string szJson = "{\"files\": [";
    for (size_t i = 0; i < verdicts.size(); ++i) {
      szJson += (i > 0 ? ", " : "") + ScanJson(verdicts[i].scan, PassSourceWord(verdicts[i].nPassFrom));
    }
    if (!szDeviceJson.empty()) szJson += "], \"devices\": [" + szDeviceJson;
    std::fputs((szJson + "], \"good\": " + (bAllGood ? "true" : "false") + "}\n").c_str(), stdout);
  } else {
    for (const FileVerdict& verdict : verdicts) {
      std::fputs(ScanText(verdict.scan, PassSourceWord(verdict.nPassFrom)).c_str(), stdout);
    }
    std::fputs(szDeviceText.c_str(), stdout);
    std::fputs(bAllGood ? "verdict: PASS, every unit holds what was written\n"
                        : "verdict: FAIL, not every unit holds what was written\n",
               stdout);
  }
  return bAllGood ? kExitPassed : kExitWorkerFailed;
}

}  // namespace stratavon
