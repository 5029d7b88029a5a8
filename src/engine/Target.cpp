#include "engine/Target.h"

#include <utility>

namespace stratavon {

Target FolderTarget(std::string szRoot) {
  Target target;
  target.szPath = std::move(szRoot);
  return target;
}

Target DeviceTarget(std::string szNode) {
  Target target;
  target.nKind = TargetKind::kDevice;
  target.szPath = std::move(szNode);
  return target;
}

std::vector<Target> FolderTargets(const std::vector<std::string>& roots) {
  std::vector<Target> targets;
  targets.reserve(roots.size());
  for (const std::string& szRoot : roots) targets.push_back(FolderTarget(szRoot));
  return targets;
}

std::vector<std::string> TargetPaths(const std::vector<Target>& targets) {
  std::vector<std::string> paths;
  paths.reserve(targets.size());
  for (const Target& target : targets) paths.push_back(target.szPath);
  return paths;
}

std::string ReadDirectoryOf(const std::string& szRoot) { return szRoot + "READ"; }
std::string WriteDirectoryOf(const std::string& szRoot) { return szRoot + "WRITE"; }

std::string WorkFileName(const std::string& szRoot, bool bWriteSide, int nSlot) {
  return szRoot + (bWriteSide ? "WRITE/KORVA" : "READ/KORVA") + std::to_string(nSlot) + ".DAT";
}

std::string SlotFileName(const Target& target, bool bWriteSide, int nSlot) {
  if (target.IsDevice()) return target.szPath;
  return WorkFileName(target.szPath, bWriteSide, nSlot);
}

uint64_t DeviceSliceBytes(const Target& target, uint32_t nSlices, uint64_t qwAlign) {
  if (nSlices == 0 || qwAlign == 0) return 0;
  return target.qwSizeBytes / nSlices / qwAlign * qwAlign;
}

SlotExtent DeviceSliceExtent(const Target& target, uint32_t nIndex, uint64_t qwSliceBytes, uint64_t qwBytes) {
  return SlotExtent{target.szPath, uint64_t{nIndex} * qwSliceBytes, qwBytes < qwSliceBytes ? qwBytes : qwSliceBytes};
}

SlotExtent SlotExtentOf(const Target& target, bool bWriteSide, int nSlot, uint64_t qwBytes) {
  return SlotExtent{SlotFileName(target, bWriteSide, nSlot), 0, qwBytes};
}

}  // namespace stratavon
