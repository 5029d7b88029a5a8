#pragma once

#include <functional>
#include <string>
#include <vector>

#include "run/RunOptions.h"

namespace stratavon {

// Everything a run needs before its Start, checked and made in the
// consoles' order: the pattern, the targets, the I/O function, the sizes,
// the worker classes the settings call for, the pattern data file, then the
// records block and the READ and WRITE directories, and the event source's
// registration; with --simple, only the simple console's checks, records and
// directories. Every setting is checked before a target is touched, so a
// refused run leaves nothing behind. False (with the console's message, or
// a plain one where the console has none) when the run is refused.
// beforeTouching, when given, is asked once every setting has passed and
// before the first target is touched; false refuses the run there.
bool PrepareRun(const RunOptions& options, const std::function<bool()>& beforeTouching = {});
// What the last PrepareRun refused, in the words it printed.
const std::string& RefusalText();

// One line per target whose file system reports no direct-I/O alignment
// (FUSE, network and memory file systems): direct I/O there may be served
// from the page cache, so its rates may not be the device's. Empty when
// every target reports one.
std::string BufferedDirectIoNotes(const std::vector<Target>& targets);

}  // namespace stratavon
