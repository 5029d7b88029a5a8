#include "run/DeviceTargets.h"

#include <sys/sysmacros.h>

#include "engine/RunRecord.h"
#include "platform/BlockDevice.h"
#include "platform/JsonText.h"

namespace stratavon {
namespace {

bool Writes(const RunOptions& options) {
  return options.dwFunction == FUNCTION_WRITE || options.dwFunction == FUNCTION_READ_WRITE ||
         (options.dwFunction == FUNCTION_READ && options.choices.bErrorChecking);
}

std::string Describe(const Target& target) {
  std::string sz = target.szPath + " (" + std::to_string(target.qwSizeBytes) + " bytes";
  if (!target.szModel.empty()) sz += ", " + target.szModel;
  return sz + ")";
}

std::string YesNo(int n) { return n < 0 ? "unknown" : n != 0 ? "yes" : "no"; }

}  // namespace

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
    if (options.bSimple) return Fail("--simple takes folder targets only; " + target.szPath + " is a block device");
    BlockDeviceInfo info;
    std::string szWhy;
    if (!ProbeBlockDevice(target.szPath, &info, &szWhy)) return Fail(szWhy);
    target.qwSizeBytes = info.qwSizeBytes;
    target.dwLogicalSectorBytes = info.dwLogicalSectorBytes;
    target.dwPhysicalSectorBytes = info.dwPhysicalSectorBytes;
    target.qwDeviceNumber = info.nDevice;
    target.szModel = info.szModel;
    target.szSerial = info.szSerial;
    target.nRotational = info.nRotational;
    target.nRemovable = info.nRemovable;
    const uint32_t dwSector = info.dwLogicalSectorBytes;
    for (const auto& [szWhat, dwBytes] : {std::pair<const char*, uint32_t>{"transfer", options.choices.dwTransferSize},
                                          {"buffer", options.choices.dwBufferSize}}) {
      if (dwSector == 0 || dwBytes % dwSector != 0) {
        return Fail(std::string("a ") + szWhat + " of " + std::to_string(dwBytes) + " bytes is not a multiple of " +
                    target.szPath + "'s logical sector of " + std::to_string(dwSector) + " bytes");
      }
    }
    const std::string szUse = DeviceInUse(info.nDevice);
    if (!szUse.empty()) return Fail("target " + target.szPath + " is in use (" + szUse + "); refused, --destroy or not");
    if (!Writes(options)) continue;
    bool bNamed = false;
    for (const std::string& szName : options.destroy) bNamed = bNamed || NamesDevice(szName, info.nDevice);
    if (!bNamed) {
      return Fail("this run writes " + Describe(target) + " and destroys what is on it: " +
                  DeviceContents(target.szPath) + "; give --destroy " + target.szPath +
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
