#pragma once

#include <string>

namespace stratavon {

// Where the program keeps its own records (the event log, the registry file):
// $STRATAVON_HOME when set, else $XDG_STATE_HOME/stratavon, else
// ~/.local/state/stratavon. Always ends without a trailing separator.
std::string StateDirectory();

// Creates the state directory and its parents when missing. False (errno set)
// when it cannot be created.
bool EnsureStateDirectory();

}  // namespace stratavon
