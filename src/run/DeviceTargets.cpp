#include "run/DeviceTargets.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "engine/RunRecord.h"
#include "platform/BlockDevice.h"
#include "platform/JsonText.h"
#include "platform/SystemError.h"

namespace stratavon {
namespace {

std::string YesNo(int n) { return n < 0 ? "unknown" : n != 0 ? "yes" : "no"; }

}  // namespace

bool RunWritesDevices(uint32_t dwFunction, bool bErrorChecking) {
  return dwFunction == FUNCTION_WRITE || dwFunction == FUNCTION_READ_WRITE ||
         (dwFunction == FUNCTION_READ && bErrorChecking);
}

bool ProbeDeviceTarget(Target* pTarget, std::string* pszWhy) {
  BlockDeviceInfo info;
  if (!ProbeBlockDevice(pTarget->szPath, &info, pszWhy)) return false;
  pTarget->qwSizeBytes = info.qwSizeBytes;
  pTarget->dwLogicalSectorBytes = info.dwLogicalSectorBytes;
  pTarget->dwPhysicalSectorBytes = info.dwPhysicalSectorBytes;
  pTarget->qwDeviceNumber = info.nDevice;
  pTarget->szModel = info.szModel;
  pTarget->szSerial = info.szSerial;
  pTarget->nRotational = info.nRotational;
  pTarget->nRemovable = info.nRemovable;
  return true;
}

std::string DeviceWriteWarning(const Target& target) {
  std::string szWhat = target.szPath + " (" + SizeWords(target.qwSizeBytes);
  if (!target.szModel.empty()) szWhat += ", " + target.szModel;
  return "this run writes " + szWhat + ") and destroys what is on it: " + DeviceContents(target.szPath);
}

bool TargetsOfRoots(const std::vector<std::string>& roots, std::vector<Target>* pTargets, std::string* pszWhy) {
  std::vector<Target> targets;
  for (const std::string& szRoot : roots) {
    std::string szNode;
    if (!ResolveBlockDevice(szRoot, &szNode, nullptr)) {
      targets.push_back(FolderTarget(szRoot));
      continue;
    }
    targets.push_back(DeviceTarget(szNode));
    if (!ProbeDeviceTarget(&targets.back(), pszWhy)) return false;
  }
  *pTargets = std::move(targets);
  return true;
}

bool CheckDeviceTargets(const RunOptions& options, std::vector<Target>* pTargets, std::string* pszWhy) {
  const auto Fail = [&](const std::string& szWhy) {
    if (pszWhy != nullptr) *pszWhy = szWhy;
    return false;
  };
  std::vector<Target> targets = options.targets;
  bool bAnyDevice = false;
  for (Target& target : targets) {
    if (!target.IsDevice()) continue;
    bAnyDevice = true;
    target.bWritable = false;
    if (options.bSimple) return Fail("--simple takes folder targets only; " + target.szPath + " is a block device");
    std::string szWhy;
    if (!ProbeDeviceTarget(&target, &szWhy)) return Fail(szWhy);
    const uint32_t dwSector = target.dwLogicalSectorBytes;
    for (const auto& [szWhat, dwBytes] : {std::pair<const char*, uint32_t>{"transfer", options.choices.dwTransferSize},
                                          {"buffer", options.choices.dwBufferSize}}) {
      if (dwSector == 0 || dwBytes % dwSector != 0) {
        return Fail(std::string("a ") + szWhat + " of " + std::to_string(dwBytes) + " bytes is not a multiple of " +
                    target.szPath + "'s logical sector of " + std::to_string(dwSector) + " bytes");
      }
    }
    const dev_t nDevice = static_cast<dev_t>(target.qwDeviceNumber);
    const std::string szUse = DeviceInUse(nDevice);
    if (!szUse.empty()) return Fail("target " + target.szPath + " is in use (" + szUse + "); refused, --destroy or not");
    if (!RunWritesDevices(options.dwFunction, options.choices.bErrorChecking)) continue;
    bool bNamed = false;
    for (const std::string& szName : options.destroy) bNamed = bNamed || NamesDevice(szName, nDevice);
    if (!bNamed) {
      return Fail(DeviceWriteWarning(target) + "; give --destroy " + target.szPath +
                  " to allow it (a read run without -e writes nothing)");
    }
    target.bWritable = true;
  }
  // Every --destroy must name a device the run writes: a slip of one letter
  // is refused, not passed over.
  for (const std::string& szName : options.destroy) {
    bool bFound = false;
    for (const Target& target : targets) {
      bFound = bFound || (target.bWritable && NamesDevice(szName, static_cast<dev_t>(target.qwDeviceNumber)));
    }
    if (!bFound) {
      return Fail("--destroy " + szName + " names no device this run writes" +
                  (bAnyDevice ? "" : " (its targets are folders)"));
    }
  }
  *pTargets = std::move(targets);
  return true;
}

std::vector<DriveChoice> ListDriveChoices() {
  std::vector<DriveChoice> choices;
  for (const std::string& szNode : ListWholeDisks()) {
    DriveChoice choice;
    choice.szNode = szNode;
    BlockDeviceInfo info;
    if (!ProbeBlockDevice(szNode, &info, &choice.szUnavailable)) {
      choices.push_back(std::move(choice));
      continue;
    }
    if (info.qwSizeBytes == 0) continue;  // no medium, or an unbound loop or zram device
    choice.qwSizeBytes = info.qwSizeBytes;
    choice.szModel = info.szModel;
    choice.szUnavailable = DeviceInUse(info.nDevice);
    choices.push_back(std::move(choice));
  }
  return choices;
}

std::string DeviceTargetLines() {
  std::string sz;
  for (int t = 0; g_pTargetRecords != nullptr && t < g_nTargetRecords; ++t) {
    const Target& target = g_pTargetRecords[t].target;
    if (!target.IsDevice()) continue;
    sz += "stratavon-cli: device " + target.szPath + ": " + std::to_string(target.qwSizeBytes) + " bytes, sectors " +
          std::to_string(target.dwLogicalSectorBytes) + " logical / " + std::to_string(target.dwPhysicalSectorBytes) +
          " physical";
    if (!target.szModel.empty()) sz += ", model " + target.szModel;
    if (!target.szSerial.empty()) sz += ", serial " + target.szSerial;
    sz += ", rotational " + YesNo(target.nRotational) + ", removable " + YesNo(target.nRemovable) +
          (target.bWritable ? "; WRITTEN: what is on it is destroyed\n" : "; read only: nothing is written\n");
  }
  return sz;
}

std::string DeviceTargetJson(const Target& target) {
  std::string sz = "{\"node\": ";
  AppendJsonString(sz, target.szPath);
  sz += ", \"size_bytes\": " + std::to_string(target.qwSizeBytes) +
        ", \"logical_sector_bytes\": " + std::to_string(target.dwLogicalSectorBytes) +
        ", \"physical_sector_bytes\": " + std::to_string(target.dwPhysicalSectorBytes) + ", \"model\": ";
  AppendJsonString(sz, target.szModel);
  sz += ", \"serial\": ";
  AppendJsonString(sz, target.szSerial);
  const auto Flag = [](int n) { return std::string(n < 0 ? "null" : n != 0 ? "true" : "false"); };
  sz += ", \"rotational\": " + Flag(target.nRotational) + ", \"removable\": " + Flag(target.nRemovable) +
        ", \"written\": " + Flag(target.bWritable ? 1 : 0) + "}";
  return sz;
}

}  // namespace stratavon

namespace stratavon {
namespace {

// A region is slow when its calls took on average more than this many
// times the median region's.
constexpr uint64_t kSlowFactor = 4;
constexpr size_t kSlowestListed = 8;
constexpr size_t kTextRanges = 8;

struct SurfaceFacts {
  std::vector<SurfaceRegion> regions;
  std::vector<bool> slow;
  size_t nSlow = 0;
  uint64_t qwMedianNs = 0;  // the median region's mean call latency
  std::vector<size_t> slowest;  // region indices, slowest first
};

SurfaceFacts Examine(const CSurfaceMap& surface) {
  SurfaceFacts facts;
  facts.regions = surface.Snapshot();
  std::vector<uint64_t> means;
  for (const SurfaceRegion& region : facts.regions) {
    if (region.qwIos != 0) means.push_back(region.MeanNs());
  }
  uint64_t& qwMedian = facts.qwMedianNs;
  if (!means.empty()) {
    std::nth_element(means.begin(), means.begin() + means.size() / 2, means.end());
    qwMedian = means[means.size() / 2];
  }
  facts.slow.resize(facts.regions.size());
  for (size_t n = 0; n < facts.regions.size(); ++n) {
    const SurfaceRegion& region = facts.regions[n];
    if (region.qwIos == 0) continue;
    facts.slow[n] = region.MeanNs() > kSlowFactor * qwMedian;
    facts.nSlow += facts.slow[n] ? 1 : 0;
    facts.slowest.push_back(n);
  }
  std::stable_sort(facts.slowest.begin(), facts.slowest.end(), [&](size_t a, size_t b) {
    return facts.regions[a].MeanNs() > facts.regions[b].MeanNs();
  });
  if (facts.slowest.size() > kSlowestListed) facts.slowest.resize(kSlowestListed);
  return facts;
}

double Micros(uint64_t qwNs) { return static_cast<double>(qwNs) / 1000.0; }

std::string RegionJson(const SurfaceFacts& facts, size_t n, uint32_t dwSector) {
  const SurfaceRegion& r = facts.regions[n];
  return "{\"offset\": " + std::to_string(r.qwOffset) + ", \"lba\": " + std::to_string(r.qwOffset / dwSector) +
         ", \"bytes\": " + std::to_string(r.qwBytes) + ", \"moved_bytes\": " + std::to_string(r.qwMoved) +
         ", \"ios\": " + std::to_string(r.qwIos) + ", \"failed_bytes\": " + std::to_string(r.qwFailedBytes) +
         ", \"mb_per_s\": " + JsonDecimal(r.MbPerSecond()) + ", \"min_us\": " + JsonDecimal(Micros(r.qwMinNs)) +
         ", \"mean_us\": " + JsonDecimal(Micros(r.MeanNs())) + ", \"max_us\": " + JsonDecimal(Micros(r.qwMaxNs)) +
         ", \"slow\": " + (facts.slow[n] ? "true" : "false") + "}";
}

std::string RangeWords(const UnreadableRange& range, uint32_t dwSector) {
  const uint64_t qwFirst = range.qwOffset / dwSector;
  const uint64_t qwSectors = (range.qwBytes + dwSector - 1) / dwSector;
  return "LBA " + std::to_string(qwFirst) + (qwSectors > 1 ? "-" + std::to_string(qwFirst + qwSectors - 1) : "") +
         " (" + std::to_string(qwSectors) + (qwSectors == 1 ? " sector" : " sectors") + " at offset " +
         std::to_string(range.qwOffset) + ", " + FormatSystemMessage(range.nError) + ")";
}

std::string DurationWords(double dSeconds) {
  const uint64_t qw = static_cast<uint64_t>(dSeconds + 0.5);
  char sz[32];
  std::snprintf(sz, sizeof sz, "%" PRIu64 ":%02u:%02u", qw / 3600, static_cast<unsigned>(qw / 60 % 60),
                static_cast<unsigned>(qw % 60));
  return sz;
}

}  // namespace

std::string SurfaceJson(const CSurfaceMap& surface) {
  const SurfaceFacts facts = Examine(surface);
  const uint32_t dwSector = surface.SectorBytes();
  std::string sz = "{\"region_bytes\": " + std::to_string(surface.RegionBytes()) + ", \"regions\": [";
  for (size_t n = 0; n < facts.regions.size(); ++n) sz += (n > 0 ? ", " : "") + RegionJson(facts, n, dwSector);
  sz += "], \"slow_regions\": " + std::to_string(facts.nSlow) + ", \"slowest\": [";
  for (size_t i = 0; i < facts.slowest.size(); ++i) sz += (i > 0 ? ", " : "") + RegionJson(facts, facts.slowest[i], dwSector);
  uint64_t qwMore = 0, qwFailed = 0;
  const std::vector<UnreadableRange> ranges = surface.Unreadable(&qwMore, &qwFailed);
  sz += "], \"unreadable\": [";
  for (size_t i = 0; i < ranges.size(); ++i) {
    const UnreadableRange& range = ranges[i];
    sz += (i > 0 ? ", {\"lba\": " : "{\"lba\": ") + std::to_string(range.qwOffset / dwSector) +
          ", \"sectors\": " + std::to_string((range.qwBytes + dwSector - 1) / dwSector) +
          ", \"offset\": " + std::to_string(range.qwOffset) + ", \"bytes\": " + std::to_string(range.qwBytes) +
          ", \"error\": ";
    AppendJsonString(sz, FormatSystemMessage(range.nError));
    sz += "}";
  }
  return sz + "], \"unreadable_more\": " + std::to_string(qwMore) + ", \"unreadable_bytes\": " +
         std::to_string(qwFailed) + "}";
}

std::string SurfaceText(const std::string& szNode, const CSurfaceMap& surface, bool bWrites) {
  const SurfaceFacts facts = Examine(surface);
  const uint32_t dwSector = surface.SectorBytes();
  const std::string szLead = "surface: " + szNode + "  ";
  std::string sz = szLead + std::to_string(facts.regions.size()) + " regions of " + SizeWords(surface.RegionBytes());
  if (!facts.slowest.empty()) {
    uint64_t qwMin = UINT64_MAX, qwMax = 0;
    for (const SurfaceRegion& r : facts.regions) {
      if (r.qwIos == 0) continue;
      qwMin = std::min(qwMin, r.qwMinNs);
      qwMax = std::max(qwMax, r.qwMaxNs);
    }
    const SurfaceRegion& worst = facts.regions[facts.slowest.front()];
    char szLine[320];
    std::snprintf(szLine, sizeof szLine,
                  ", call latency min %.1f max %.1f us, median region's mean %.1f us; slowest region at offset %" PRIu64
                  " (LBA %" PRIu64 "): mean %.1f max %.1f us; %zu slow (mean over %" PRIu64 "x the median)",
                  Micros(qwMin), Micros(qwMax), Micros(facts.qwMedianNs), worst.qwOffset, worst.qwOffset / dwSector,
                  Micros(worst.MeanNs()), Micros(worst.qwMaxNs), facts.nSlow, kSlowFactor);
    sz += szLine;
  }
  // One mark per group of regions: '.' reached, 's' slow, 'X' a failure in it, ' ' not reached.
  const size_t nMarks = std::min<size_t>(64, facts.regions.size());
  std::string szMap;
  for (size_t m = 0; m < nMarks; ++m) {
    char c = ' ';
    for (size_t n = m * facts.regions.size() / nMarks; n < (m + 1) * facts.regions.size() / nMarks; ++n) {
      const SurfaceRegion& r = facts.regions[n];
      if (r.qwFailedBytes != 0) {
        c = 'X';
      } else if (facts.slow[n] && c != 'X') {
        c = 's';
      } else if (r.qwIos != 0 && c == ' ') {
        c = '.';
      }
    }
    szMap += c;
  }
  // A run that writes fails calls of both kinds; a scan only reads.
  const std::string szFailed = bWrites ? "failed: " : "unreadable: ";
  sz += "\n" + szLead + "map |" + szMap +
        (bWrites ? "| ('.' written or read, 's' slow, 'X' failed, ' ' not reached)\n"
                 : "| ('.' read, 's' slow, 'X' unreadable, ' ' not reached)\n");
  uint64_t qwMore = 0, qwFailed = 0;
  const std::vector<UnreadableRange> ranges = surface.Unreadable(&qwMore, &qwFailed);
  for (size_t i = 0; i < ranges.size() && i < kTextRanges; ++i) {
    sz += szFailed + szNode + "  " + RangeWords(ranges[i], dwSector) + "\n";
  }
  const uint64_t qwUnlisted = qwMore + (ranges.size() > kTextRanges ? ranges.size() - kTextRanges : 0);
  if (qwFailed != 0) {
    sz += szFailed + szNode + "  " + std::to_string(qwFailed) + " bytes in all" +
          (qwUnlisted != 0 ? "; " + std::to_string(qwUnlisted) + " more ranges not listed here" : "") + "\n";
  }
  return sz;
}

std::string SurfaceLiveText(int nTarget) {
  std::shared_ptr<const CSurfaceMap> pSurface;
  {
    CScopedLock lock(g_csRecords);
    if (g_pTargetRecords == nullptr || nTarget >= g_nTargetRecords) return {};
    pSurface = g_pTargetRecords[nTarget].pSurface;
  }
  if (!pSurface) return {};
  const SurfaceProgress progress = pSurface->Progress();
  if (progress.qwPassBytes == 0) return {};
  const bool bBounded = progress.dwPasses != 0;
  const uint64_t qwTotal = bBounded ? progress.qwPassBytes * progress.dwPasses : progress.qwPassBytes;
  const uint64_t qwPass = progress.qwDone / progress.qwPassBytes;
  const uint64_t qwDone = bBounded ? std::min(progress.qwDone, qwTotal) : progress.qwDone % progress.qwPassBytes;
  char szShare[32];
  std::snprintf(szShare, sizeof szShare, "%.1f%%", 100.0 * static_cast<double>(qwDone) / static_cast<double>(qwTotal));
  std::string sz = "  " + (bBounded ? std::string("scan ") : "pass " + std::to_string(qwPass + 1) + " ") + szShare +
                   ", " + SizeWords(qwDone) + " of " + SizeWords(qwTotal);
  if (progress.qwDone != 0 && progress.dSeconds > 0 && qwDone < qwTotal) {
    const double dRate = static_cast<double>(progress.qwDone) / progress.dSeconds;
    sz += ", ETA " + DurationWords(static_cast<double>(qwTotal - qwDone) / dRate);
  }
  return sz;
}

}  // namespace stratavon
