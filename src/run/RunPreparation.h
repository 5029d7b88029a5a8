#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "run/RunOptions.h"

namespace stratavon {

// The refusals of a start, in the consoles' words ("Error" boxes).
constexpr char kMsgInvalidPattern[] = "Invalid Data Pattern!";
constexpr char kMsgNoTargets[] = "No Targets Selected!";
constexpr char kMsgSelectFunction[] = "Select an I/O Function!";
constexpr char kMsgTargetInitFailure[] = "Target Initialization Failure.";
constexpr char kMsgDirectoryCreation[] = "Directory Creation Error!";
constexpr char kMsgTargetPathTooLong[] = "Target Path Too Long!";

// Why a start was refused. A console shows its message in an "Error" box
// (the plain words where it has none); a headless front end shows the
// message the same way, unless it is the console's alone, and prints the
// plain words after its name. Nothing in either: refused elsewhere (the
// peers), and said there.
struct RunRefusal {
  std::string szMessage;
  std::string szWhy;
  bool bConsoleOnly = false;  // the message is the console's; headless, only szWhy is said

  // What a console's box shows.
  const std::string& ConsoleText() const { return szMessage.empty() ? szWhy : szMessage; }
  // One line of what a headless front end said: for the peers and the JSON.
  std::string Text() const;
};
using StartRefusal = std::optional<RunRefusal>;  // nothing: the start may go on

// Says a refusal as a headless front end does: the message box, then the
// plain words after "stratavon-cli: " on stderr.
void PrintRefusal(const RunRefusal& refusal);

// The start's checks that follow the pattern, in the consoles' order:
// targets chosen, a function, and no target given twice. A console may
// show targets chosen while it holds none (after a reset): the records
// refuse those.
StartRefusal CheckTargetsAndFunction(bool bTargetsChosen, const std::vector<Target>& targets,
                                     uint32_t dwFunction);
// The records block (kept when there is one) and every target's READ and
// WRITE directories; a refusal makes no directory.
StartRefusal PrepareTargets(const std::vector<Target>& targets);

// Everything a run needs before its Start, checked and made in the
// consoles' order: the pattern, the targets, the I/O function, the sizes,
// the worker classes the settings call for, the pattern data file, then the
// records block and the READ and WRITE directories, and the event source's
// registration; with --simple, only the simple console's checks, records and
// directories. Every setting is checked before a target is touched, so a
// refused run leaves nothing behind. beforeTouching, when given, is asked
// once every setting has passed and before the first target is touched;
// false refuses the run there (with an empty refusal).
StartRefusal PrepareRun(const RunOptions& options, const std::function<bool()>& beforeTouching = {});

// Once every worker has ended: waits, at most the I/O time-out, for the
// flush journal of --flush-every to write what its workers queued, and
// closes it. False, with what could not be journaled, when records were
// lost: the run then fails. True without a journal.
bool CloseFlushJournal(std::string* pszError);

// One line per target whose file system reports no direct-I/O alignment
// (FUSE, network and memory file systems): direct I/O there may be served
// from the page cache, so its rates may not be the device's. Empty when
// every target reports one.
std::string BufferedDirectIoNotes(const std::vector<Target>& targets);

}  // namespace stratavon
