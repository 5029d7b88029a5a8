#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace stratavon {

// Whether this platform can run a run's I/O in a child process of its own
// (fork); where it cannot, the run stays in the process that was started.
bool SeparateWorkerProcess();

// A child process made by forking this one, which runs one function and
// ends: its standard output and error come back on pipes, its standard
// input is /dev/null, and a channel of framed messages links the two. The
// child sits in a process group of its own, so that the terminal's
// interrupts reach only the parent (which passes on what it decides to),
// and it is sent SIGTERM should the parent die first.
class CForkedProcess {
 public:
  CForkedProcess() = default;
  ~CForkedProcess();
  CForkedProcess(const CForkedProcess&) = delete;
  CForkedProcess& operator=(const CForkedProcess&) = delete;

  // Forks; the child runs body with its end of the channel and leaves with
  // _exit and what body returned, after flushing its standard streams (no
  // destructors or exit handlers of the parent's state run in the child).
  // Flush the standard streams before calling. False with *pszWhy when no
  // child could be made.
  bool Start(const std::function<int(int hChannel)>& body, std::string* pszWhy);

  pid_t Pid() const { return m_nPid; }
  int OutHandle() const { return m_hOut; }
  int ErrHandle() const { return m_hErr; }
  int ChannelHandle() const { return m_hChannel; }
  // A pipe or the channel has reached its end: stop watching it.
  void CloseOut();
  void CloseErr();

  void Signal(int nSignal) const;
  void Kill() const;  // SIGKILL
  // Waits up to timeout for the child to end (0: only looks); true once it
  // has, with *pszHow saying how ("exit status 3", "signal 9 (Killed)") and
  // *pnExit its exit status (-1 after a signal).
  bool WaitEnd(std::chrono::milliseconds timeout, std::string* pszHow = nullptr, int* pnExit = nullptr);
  bool Ended() const { return m_bEnded; }

 private:
  pid_t m_nPid = -1;
  int m_hOut = -1;
  int m_hErr = -1;
  int m_hChannel = -1;
  bool m_bEnded = false;
  std::string m_szHow;
  int m_nExit = -1;
};

// Frames on a stream channel: a 4-byte length, a kind byte, the body.
// Send blocks until the frame is written (false once the other side is
// gone); SIGPIPE never comes of it.
bool SendFrame(int hChannel, char cKind, const std::string& szBody);
// Collects frames as bytes arrive.
class CFrameReader {
 public:
  // Reads what the channel holds now without blocking. False once the
  // other side has closed it (or it failed); frames read before stay.
  bool ReadAvailable(int hChannel);
  // Waits up to timeout for one whole frame. False at the time-out or the
  // channel's end.
  bool WaitFrame(int hChannel, std::chrono::milliseconds timeout, char* pcKind, std::string* pszBody);
  // The next whole frame read so far.
  bool Next(char* pcKind, std::string* pszBody);

 private:
  std::string m_szPending;
};

// Whether process nPid has been told to end (its main thread is gone, or
// SIGKILL is pending) while one of its threads sleeps uninterruptibly in the
// kernel, so that it cannot end until the kernel lets that call go.
bool StuckInKernel(int nPid);

// Waits up to timeout until one of handles can be read (or has reached its
// end); ready[i] tells which. Negative handles are passed over.
void WaitReadable(const std::vector<int>& handles, std::chrono::milliseconds timeout, std::vector<bool>& ready);
// Reads what the handle holds now, without blocking: appended to szText;
// false at its end or on a failure other than "nothing yet".
bool ReadAvailable(int hHandle, std::string& szText);
// Writes all of szText; false when the reader has gone (EPIPE) or the
// write failed.
bool WriteAll(int hHandle, const std::string& szText);

}  // namespace stratavon
