#pragma once

#include <string>
#include <vector>

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

// One line per device target of the prepared run, for the start: node,
// size, sectors, model, serial, rotational, removable, and whether it is
// written.
std::string DeviceTargetLines();

// The JSON object of a device target ("node", "size_bytes", sectors, sysfs).
std::string DeviceTargetJson(const Target& target);

}  // namespace stratavon
