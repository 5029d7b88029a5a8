#pragma once

#include "platform/SignalWatch.h"
#include "run/RunOptions.h"
#include "run/RunPeers.h"

namespace stratavon {

// `run` as the caller sees it: the run itself (RunCommand) goes on in a
// child process, and this process only relays and decides, so that the
// verdict reaches the caller even when a call of the run never comes back
// from the kernel (a process cannot finish exiting while one of its
// threads sleeps there).
//
// The child's output is passed on byte for byte and its exit code becomes
// this process's as soon as the child says its verdict is out. The child
// has a bound: the run's length plus the I/O time-out (for the stop) plus a
// short grace, counted from what it last reported (launch, the moment every
// worker began, the stop). A child that misses it, or ends without a
// verdict, gets the verdict from here: FAIL, with the calls that were in
// progress at its last tick named as I/O TIMEOUTs and what became of the
// process ("a worker process is stuck in the kernel: pid N" when even
// SIGKILL cannot end it), and an event in the log. An interrupt is passed
// on to the child; a second one leaves the run at once, STOPPED.
//
// With peers, the child's meetings and polls are answered here, and this
// process keeps meeting the peers when the child cannot, so the collective
// never waits on a stuck worker.
//
// signals: made before any thread, as for RunCommand. Returns the exit code.
int SuperviseRun(const RunOptions& options, CSignalWatch& signals, IRunPeers* pPeers = nullptr);

}  // namespace stratavon
