#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace stratavon {

// What a target is. A folder holds the run's work files in its READ and
// WRITE directories; on a block device each worker has a slice of the
// device itself.
enum class TargetKind : uint8_t {
  kFolder = 0,
  kDevice = 1,
};

// One target of a run, as the records, the options and the results hold it.
struct Target {
  TargetKind nKind = TargetKind::kFolder;
  // A folder's root, ending in '/'.
  std::string szPath;
  // What a device reports of itself: its size and its logical and physical
  // sector sizes. 0 for a folder, whose file system decides alignment and
  // space when a worker asks (GetDiskFreeSpace).
  uint64_t qwSizeBytes = 0;
  uint32_t dwLogicalSectorBytes = 0;
  uint32_t dwPhysicalSectorBytes = 0;
  // A device's number and what sysfs says of it (empty, -1 where nothing).
  uint64_t qwDeviceNumber = 0;
  std::string szModel;
  std::string szSerial;
  int nRotational = -1;
  int nRemovable = -1;
  // A device the run may write: --destroy named it and nothing uses it.
  // Its workers open it read-only otherwise, and never seed or stamp it.
  bool bWritable = false;

  bool IsFolder() const { return nKind == TargetKind::kFolder; }
  bool IsDevice() const { return nKind == TargetKind::kDevice; }
  bool operator==(const Target&) const = default;
};

// The folder szRoot (its root, ending in '/') as a target.
Target FolderTarget(std::string szRoot);
std::vector<Target> FolderTargets(const std::vector<std::string>& roots);
// The block device at szNode (resolved, /dev/...) as a target; its sizes
// are filled in when the run probes it.
Target DeviceTarget(std::string szNode);
// The targets' paths, in their order.
std::vector<std::string> TargetPaths(const std::vector<Target>& targets);

// Where one slot's worker moves its data: a file (a folder's work file; a
// device's node for a device slice) and the slot's stretch of it, qwBytes
// from qwBase on. Every offset the worker issues, stamps into a header or
// checks lies in [qwBase, qwBase + qwBytes); the worker's own walk counts
// from 0 and At turns its place into the file's offset.
struct SlotExtent {
  std::string szPath;
  uint64_t qwBase = 0;
  uint64_t qwBytes = 0;
  uint64_t At(uint64_t qwInto) const { return qwBase + qwInto; }
};

// "<root>READ/KORVA<slot>.DAT" or "<root>WRITE/KORVA<slot>.DAT".
std::string WorkFileName(const std::string& szRoot, bool bWriteSide, int nSlot);
std::string ReadDirectoryOf(const std::string& szRoot);
std::string WriteDirectoryOf(const std::string& szRoot);

// The file a slot's worker works in on target: for a folder, the slot's
// work file; for a device, its node.
std::string SlotFileName(const Target& target, bool bWriteSide, int nSlot);
// The extent of a slot's worker that needs qwBytes: for a folder, its work
// file from offset 0, qwBytes long.
SlotExtent SlotExtentOf(const Target& target, bool bWriteSide, int nSlot, uint64_t qwBytes);

// A device's slices: the device split between nSlices workers, each slice
// a whole number of qwAlign bytes (the physical sector and the buffer).
uint64_t DeviceSliceBytes(const Target& target, uint32_t nSlices, uint64_t qwAlign);
// The extent of slice nIndex, qwBytes long (at most the slice).
SlotExtent DeviceSliceExtent(const Target& target, uint32_t nIndex, uint64_t qwSliceBytes, uint64_t qwBytes);

}  // namespace stratavon
