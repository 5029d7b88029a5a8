#pragma once

#include <string>
#include <vector>

#include "engine/SurfaceMap.h"
#include "engine/Target.h"
#include "run/RunOptions.h"

namespace stratavon {

// The checks a run makes of its device targets before anything touches
// them: each is probed (size, sectors, sysfs), the transfer and buffer must
// be whole logical sectors, a device in use (mounted, swap, held) is
// refused, and a run that writes (write, both, or read with Error
// Checking) needs --destroy naming the device, else the refusal says what
// is on it. *pTargets gets the probed targets, writable where allowed.
// False with *pszWhy saying why.
bool CheckDeviceTargets(const RunOptions& options, std::vector<Target>* pTargets, std::string* pszWhy);

// Whether a run of dwFunction writes its device targets: write, both, or a
// read with Error Checking, which needs known data on them.
bool RunWritesDevices(uint32_t dwFunction, bool bErrorChecking);
// Fills in what the device target's node tells (size, sectors, number,
// sysfs); false with *pszWhy naming the node and the system's words.
bool ProbeDeviceTarget(Target* pTarget, std::string* pszWhy);
// What a writing run does to the device, in words: "this run writes
// /dev/sdb (14.9 GiB, Stick) and destroys what is on it: " and what libblkid
// finds there.
std::string DeviceWriteWarning(const Target& target);
// A console's target rows as targets: a row that names a block device is
// that device, probed; any other row is a folder. False with *pszWhy when a
// device cannot be probed.
bool TargetsOfRoots(const std::vector<std::string>& roots, std::vector<Target>* pTargets, std::string* pszWhy);

// A whole disk the consoles offer: its node, size and model, and why it
// cannot be chosen (mounted, swap, held, or not to be opened by this user),
// empty when it can.
struct DriveChoice {
  std::string szNode;
  uint64_t qwSizeBytes = 0;
  std::string szModel;
  std::string szUnavailable;
};
// Every whole disk of the machine with a medium, by name.
std::vector<DriveChoice> ListDriveChoices();

// One line per device target of the prepared run, for the start: node,
// size, sectors, model, serial, rotational, removable, and whether it is
// written.
std::string DeviceTargetLines();

// The JSON object of a device target ("node", "size_bytes", sectors, sysfs).
std::string DeviceTargetJson(const Target& target);

// What a device run found on the surface, as the JSON object "surface":
// the region size, every region (offset, LBA, bytes moved and failed,
// MB/s, latency min/mean/max, slow), the slowest regions, and the
// unreadable ranges by LBA with the count of those beyond the list.
std::string SurfaceJson(const CSurfaceMap& surface);

// The same in a few lines for the closing text: the latency over the
// regions and the slowest one, a map of marks over the device, and the
// first unreadable ranges (failed ones, for a run that writes).
std::string SurfaceText(const std::string& szNode, const CSurfaceMap& surface, bool bWrites);

// A device target's progress for its live line, led by two spaces: the
// share done, the bytes, and the time left at the rate so far (of the
// run with --passes, else of the pass under way). Empty for a folder.
std::string SurfaceLiveText(int nTarget);

}  // namespace stratavon
