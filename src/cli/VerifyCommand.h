#pragma once

namespace stratavon {

// `stratavon-cli verify FILE... [--pass N] [--json]`: judges stamped work
// files left on a target and prints where each holds what. 0 when every
// unit of every file is good, 1 otherwise, 2 on bad arguments. With
// --journal FILE every unit is judged against the flushes journaled (the
// files given, those of the journal under a folder given, or all of its).
int VerifyCommand(int argc, char** argv);

}  // namespace stratavon
