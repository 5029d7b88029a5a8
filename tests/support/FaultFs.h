#pragma once

// The suites mount the installed program's fault-injecting file system
// through the same helper that `stratavon-cli selftest` uses; ctest points
// STRATAVON_TOOLS_DIR at the build tree's stratavon-faultfs.
#include "faultfs/FaultFsMount.h"
