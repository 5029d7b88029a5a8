#pragma once

#include <string>

namespace stratavon {

// `stratavon-cli selftest [DIR]`: mounts stratavon-faultfs over a scratch
// folder under DIR (default: the state directory), injects each fault kind
// into a short checked run of every engine and I/O backend, prints what was
// expected and what the run reported, and removes everything it made, when
// interrupted too. 0: every fault the plain pattern can show was caught;
// 1: one was missed or never injected, or a signal ended the test; 2: no
// FUSE, no right to mount, or no stratavon-faultfs.
int SelfTestCommand(const std::string& szDir);

}  // namespace stratavon
