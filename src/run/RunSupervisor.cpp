#include "run/RunSupervisor.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "engine/EventSource.h"
#include "engine/IoError.h"
#include "engine/RunRecord.h"
#include "platform/ForkedProcess.h"
#include "platform/EventLog.h"
#include "run/RunCommand.h"
#include "run/RunObserver.h"
#include "run/RunWire.h"

namespace stratavon {
namespace {

using Clock = std::chrono::steady_clock;

// What the child may take beyond its bound for its report and teardown
// before this process decides without it (shorter than the peers' wait
// for a rank's result, so a rank decided here still reaches the verdict).
constexpr auto kGrace = std::chrono::seconds(5);
// How long a child that ignored SIGKILL is given before it counts as stuck.
constexpr auto kKillWait = std::chrono::seconds(1);
// The peers want a poll at least this often; a child that is late is
// stood in for.
constexpr auto kPeerPollLate = std::chrono::milliseconds(300);

// Frames between the two processes.
constexpr char kFramePhase = 'p';     // child: "L" launched, "B" every worker began, "S" stopping
constexpr char kFrameTick = 't';      // child: a packed RunProgress
constexpr char kFrameVerdict = 'v';   // child: its exit code (and "stalled"); the verdict is out
constexpr char kFrameAgree = 'a';     // child: a meeting with its refusal; answer: the meeting's
constexpr char kFramePoll = 'q';      // child: a poll; answer: why the run stops, or empty
constexpr char kFrameFinish = 'f';    // child: its rendered result; answer: the exit code

std::string PackPoll(const std::string& szLocalStop, bool bWorkersEnded, const PeerSample& sample) {
  return std::to_string(sample.qwBytes) + " " + std::to_string(sample.qwIos) + " " + std::to_string(sample.nFailures) +
         " " + (bWorkersEnded ? "1" : "0") + "\n" + szLocalStop;
}

bool UnpackPoll(const std::string& szBody, std::string& szLocalStop, bool& bWorkersEnded, PeerSample& sample) {
  unsigned long long qwBytes = 0, qwIos = 0;
  int nFailures = 0, nEnded = 0, nUsed = 0;
  if (std::sscanf(szBody.c_str(), "%llu %llu %d %d\n%n", &qwBytes, &qwIos, &nFailures, &nEnded, &nUsed) != 4) {
    return false;
  }
  sample = {qwBytes, qwIos, nFailures};
  bWorkersEnded = nEnded != 0;
  szLocalStop = szBody.substr(static_cast<size_t>(nUsed));
  return true;
}

// The child's side: its observer, and its peers where the run has some.
class CChildLink : public IRunObserver, public IRunPeers {
 public:
  CChildLink(int hChannel, bool bReports) : m_hChannel(hChannel), m_bReports(bReports) {}

  void OnPhase(Phase phase) override {
    (void)SendFrame(m_hChannel, kFramePhase, phase == Phase::kLaunched ? "L" : phase == Phase::kBegun ? "B" : "S");
  }
  void OnTick(const RunResult& snapshot, const std::vector<CallInProgress>& calls) override {
    (void)SendFrame(m_hChannel, kFrameTick, PackRunProgress({snapshot, calls}));
  }
  // From RunCommand: the verdict is out, but stalled workers keep this
  // process from ending.
  void OnVerdict(int nExit) override { SendVerdict(std::to_string(nExit) + " stalled"); }
  // RunCommand has returned: everything is released.
  void Ended(int nExit) { SendVerdict(std::to_string(nExit)); }

  std::string Agree(const std::string& szRefusal) override {
    return Ask(kFrameAgree, szRefusal).value_or("the supervising process is gone");
  }
  std::string Poll(const std::string& szLocalStop, bool bWorkersEnded, const PeerSample& sample) override {
    return Ask(kFramePoll, PackPoll(szLocalStop, bWorkersEnded, sample)).value_or("the supervising process is gone");
  }
  bool Reports() const override { return m_bReports; }
  int Finish(const RunResult& result) override {
    return FinishRank(DescribeRank(result, EventLogPath()), result.szStoppedBy);
  }
  int FinishRank(const RankResult& rank, const std::string& szStoppedBy) override {
    const std::optional<std::string> szExit = Ask(kFrameFinish, szStoppedBy + "\n" + PackRankResult(rank));
    return szExit ? std::atoi(szExit->c_str()) : kExitWorkerFailed;
  }

 private:
  void SendVerdict(const std::string& szBody) {
    if (m_bVerdictSent) return;
    m_bVerdictSent = true;
    (void)SendFrame(m_hChannel, kFrameVerdict, szBody);
  }

  // The supervisor answers at once; it is waited for as long as it lives.
  std::optional<std::string> Ask(char cKind, const std::string& szBody) {
    if (!SendFrame(m_hChannel, cKind, szBody)) return std::nullopt;
    char cAnswer = 0;
    std::string szAnswer;
    while (!m_reader.WaitFrame(m_hChannel, std::chrono::hours(1), &cAnswer, &szAnswer)) {
      if (!m_reader.ReadAvailable(m_hChannel)) return std::nullopt;
    }
    return szAnswer;
  }

  int m_hChannel;
  bool m_bReports;
  bool m_bVerdictSent = false;
  CFrameReader m_reader;
};

class CSupervisor {
 public:
  CSupervisor(const RunOptions& options, CSignalWatch& signals, IRunPeers* pPeers)
      : m_options(options), m_signals(signals), m_pPeers(pPeers) {}

  int Run() {
    std::fflush(nullptr);
    std::string szWhy;
    const bool bReports = m_pPeers == nullptr || m_pPeers->Reports();
    const RunOptions& options = m_options;
    IRunPeers* const pPeers = m_pPeers;
    if (!m_child.Start(
            [&options, pPeers, bReports](int hChannel) {
              CChildLink link(hChannel, bReports);
              const int nExit = RunCommand(options, pPeers != nullptr ? &link : nullptr, &link);
              std::fflush(nullptr);
              link.Ended(nExit);
              return nExit;
            },
            &szWhy)) {
      std::fprintf(stderr, "stratavon-cli: %s\n", szWhy.c_str());
      return kExitRefused;
    }
    m_tDeadline = Clock::now() + IoTimeout() + kGrace;
    for (;;) {
      const Clock::time_point tNow = Clock::now();
      if (tNow >= m_tDeadline) return Decide(Outcome::kTimeOut);
      const auto wait = std::min<Clock::duration>(std::chrono::milliseconds(100), m_tDeadline - tNow);
      std::vector<bool> ready;
      WaitReadable({m_child.OutHandle(), m_child.ErrHandle(), m_child.ChannelHandle(), m_signals.Handle()},
                   std::chrono::ceil<std::chrono::milliseconds>(wait), ready);
      if (ready[0]) Relay(m_child.OutHandle(), true);
      if (ready[1]) Relay(m_child.ErrHandle(), false);
      if (ready[2]) {
        const bool bOpen = m_reader.ReadAvailable(m_child.ChannelHandle());
        if (std::optional<int> nExit = HandleFrames()) return *nExit;
        if (!bOpen) return Decide(Outcome::kEnded);
      }
      if (const int nSignal = m_signals.Poll()) {
        if (m_szStopSignal.empty()) {
          m_szStopSignal = nSignal == SIGINT ? "SIGINT" : nSignal == SIGTERM ? "SIGTERM" : "SIGHUP";
          m_child.Signal(nSignal);
          StopDue(Clock::now());
        } else {
          // Its own second interrupt tells the child what it still waits for.
          m_child.Signal(nSignal);
          return Decide(Outcome::kLeft);
        }
      }
      if (m_pPeers != nullptr) StandInForPolls();
    }
  }

 private:
  enum class Outcome { kTimeOut, kEnded, kLeft };

  void StopDue(Clock::time_point tFrom) { m_tDeadline = std::min(m_tDeadline, tFrom + IoTimeout() + kGrace); }

  void Relay(int hHandle, bool bOut) {
    std::string szText;
    const bool bOpen = ReadAvailable(hHandle, szText);
    if (!szText.empty()) {
      bool& bBroken = bOut ? m_bOutBroken : m_bErrBroken;
      // A reader that has gone (`| head`) takes nothing more, but the child
      // is still read, so that it never blocks or loses its records.
      if (!bBroken && !WriteAll(bOut ? 1 : 2, szText)) bBroken = true;
      (bOut ? m_bOutAtLineStart : m_bErrAtLineStart) = szText.back() == '\n';
    }
    if (!bOpen) bOut ? m_child.CloseOut() : m_child.CloseErr();
  }

  void Drain() {
    if (m_child.OutHandle() >= 0) Relay(m_child.OutHandle(), true);
    if (m_child.ErrHandle() >= 0) Relay(m_child.ErrHandle(), false);
  }

  void Answer(char cKind, const std::string& szBody) { (void)SendFrame(m_child.ChannelHandle(), cKind, szBody); }

  // Handles every whole frame read; the exit code once the verdict is out.
  std::optional<int> HandleFrames() {
    char cKind = 0;
    std::string szBody;
    while (m_reader.Next(&cKind, &szBody)) {
      const Clock::time_point tNow = Clock::now();
      switch (cKind) {
        case kFramePhase:
          OnPhase(szBody, tNow);
          break;
        case kFrameTick: {
          RunProgress progress;
          if (UnpackRunProgress(szBody, progress)) {
            m_last = std::move(progress);
            m_bHaveProgress = true;
            m_tLast = tNow;
          }
          break;
        }
        case kFrameVerdict: {
          // Its output was written before it said so: take the rest. A child
          // with everything released is about to end (and is reaped, its
          // time counted); one held by a stalled worker is left to it.
          Drain();
          const bool bStalled = szBody.find("stalled") != std::string::npos;
          (void)m_child.WaitEnd(bStalled ? std::chrono::milliseconds(0) : kKillWait);
          return std::atoi(szBody.c_str());
        }
        case kFrameAgree:
          if (m_pPeers == nullptr) break;
          m_szMeeting = m_pPeers->Agree(szBody);
          ++m_nMeetings;
          Answer(kFrameAgree, m_szMeeting);
          break;
        case kFramePoll: {
          if (m_pPeers == nullptr) break;
          (void)UnpackPoll(szBody, m_szChildStop, m_bChildEnded, m_sample);
          Answer(kFramePoll, PollPeers(m_szChildStop));
          break;
        }
        case kFrameFinish: {
          if (m_pPeers == nullptr) break;
          const size_t nLine = szBody.find('\n');
          RankResult rank;
          if (nLine == std::string::npos || !UnpackRankResult(szBody.substr(nLine + 1), rank)) {
            rank.szVerdict = "verdict: FAIL, the worker process's result came garbled\n";
          }
          m_bFinished = true;
          m_nFinishExit = m_pPeers->FinishRank(rank, szBody.substr(0, nLine));
          Answer(kFrameFinish, std::to_string(m_nFinishExit));
          // The report is made; the child may still have its teardown.
          m_tDeadline = Clock::now() + kGrace;
          break;
        }
        default:
          break;
      }
    }
    return std::nullopt;
  }

  void OnPhase(const std::string& szPhase, Clock::time_point tNow) {
    const auto duration = std::chrono::seconds(m_options.nSeconds);
    // With peers the -d time is the reporting process's to keep.
    const bool bTimed = m_options.nSeconds > 0 && (m_pPeers == nullptr || m_pPeers->Reports());
    m_szPhase = szPhase;
    if (szPhase == "L") {
      // A start-up that never ends is stopped by the child after the I/O
      // time-out (and the run's length); the stop waits as long again.
      m_tDeadline = tNow + duration + 2 * IoTimeout() + kGrace;
    } else if (szPhase == "B") {
      // Untimed, the run goes on until a stop.
      m_tDeadline = bTimed ? tNow + duration + IoTimeout() + kGrace : Clock::time_point::max();
    } else if (szPhase == "S") {
      m_tDeadline = tNow + IoTimeout() + kGrace;
    }
    if (!m_szStopSignal.empty() || !m_szPeerStop.empty()) StopDue(tNow);
  }

  std::string PollPeers(const std::string& szLocalStop) {
    m_tPolled = Clock::now();
    if (!m_szPeerStop.empty()) return m_szPeerStop;
    m_szPeerStop = m_pPeers->Poll(szLocalStop, m_bChildEnded, m_sample);
    if (!m_szPeerStop.empty()) StopDue(m_tPolled);
    return m_szPeerStop;
  }

  // While the child runs its workers it polls the peers; when it is late
  // (its console thread stuck) this process polls for it.
  void StandInForPolls() {
    if (m_szPhase.empty() || m_szPhase == "S" || m_bFinished) return;
    if (Clock::now() - m_tPolled < kPeerPollLate) return;
    (void)PollPeers(m_szChildStop);
  }

  // The verdict without the child: it missed its bound, ended without one,
  // or the operator left it (then it is left to end its stop on its own).
  int Decide(Outcome outcome) {
    Drain();
    std::string szHow;
    int nChildExit = -1;
    bool bEnded = m_child.WaitEnd(outcome == Outcome::kEnded ? kKillWait : std::chrono::milliseconds(0), &szHow,
                                  &nChildExit);
    if (!bEnded && outcome == Outcome::kTimeOut) {
      m_child.Kill();
      bEnded = m_child.WaitEnd(kKillWait, &szHow, &nChildExit);
    }
    const std::string szPid = std::to_string(m_child.Pid());
    RunResult result = LastResult();
    std::string szProcess;
    if (outcome == Outcome::kLeft) {
      szProcess = "the worker process (pid " + szPid + ") is left to end its stop on its own";
    } else if (!bEnded) {
      szProcess = "a worker process is stuck in the kernel: pid " + szPid;
    } else if (outcome == Outcome::kEnded) {
      szProcess = "the worker process (pid " + szPid + ") ended by " + szHow + " before its verdict";
    } else {
      szProcess = "the worker process (pid " + szPid + ") missed the run's bound and was killed";
    }
    result.szWorkerProcess = szProcess;
    result.bAbandoned = outcome == Outcome::kLeft;
    // The calls in progress at the last tick, as old as they are by now:
    // past the bound each is an I/O TIMEOUT; a run left by the operator
    // names those it was still inside.
    const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_tLast);
    std::string szStuckFile;
    for (CallInProgress call : m_last.calls) {
      if (outcome == Outcome::kEnded) break;
      call.age += m_bHaveProgress ? since : std::chrono::milliseconds(0);
      if (outcome == Outcome::kLeft) {
        if (call.nCall != kCallNone) result.stalls.push_back(DescribeCall(call));
        continue;
      }
      TargetResult& target = result.targets[static_cast<size_t>(call.nTarget)];
      target.szStatus = "FAIL";
      target.szError = "I/O TIMEOUT";
      target.nFailure = TargetFailure::kWorkerFailed;
      result.stalls.push_back(DescribeCall(call) + ": I/O TIMEOUT");
      if (szStuckFile.empty()) szStuckFile = call.szFile;
    }
    if (outcome == Outcome::kTimeOut) {
      result.szStoppedBy = "I/O TIMEOUT";
      if (result.stalls.empty()) {
        result.stalls.push_back("the worker process gave no sign of progress past the run's bound: I/O TIMEOUT");
      }
      ReportEvent(kEventIoTimeout, szStuckFile.empty() ? result.stalls.front() : szStuckFile, szProcess);
    } else if (outcome == Outcome::kLeft) {
      result.szStoppedBy = m_szStopSignal;
    } else {
      if (result.szStoppedBy.empty()) result.szStoppedBy = "worker process ended";
      ReportEvent(kEventUnknownError, szProcess, "");
    }
    std::fprintf(stderr, "stratavon-cli: %s\n", szProcess.c_str());
    std::fflush(stderr);
    if (m_pPeers != nullptr) return FinishWithPeers(result);
    std::string szOut = m_options.bJson ? RunResultJson(result) : RunResultText(result);
    if (!m_bOutAtLineStart) szOut.insert(0, "\n");
    if (!m_bOutBroken) (void)WriteAll(1, szOut);
    return kExitWorkerFailed;
  }

  // The child's part of the meetings and the run that it could not play.
  int FinishWithPeers(const RunResult& result) {
    if (m_bFinished) return m_nFinishExit;
    const std::string szRefusal = result.szWorkerProcess;
    if (m_nMeetings == 0 || (m_nMeetings == 1 && m_szMeeting.empty())) {
      // Still in preparation: the run is refused everywhere.
      if (m_nMeetings == 0) m_szMeeting = m_pPeers->Agree(szRefusal);
      if (m_szMeeting.empty()) (void)m_pPeers->Agree(szRefusal);
      return kExitRefused;
    }
    if (!m_szMeeting.empty()) return kExitRefused;
    // The run is on everywhere: this rank asks for the stop and reports.
    while (m_szPeerStop.empty()) {
      m_szPeerStop = m_pPeers->Poll(result.szStoppedBy, true, m_sample);
      if (m_szPeerStop.empty()) m_signals.Wait(std::chrono::milliseconds(100));
    }
    RunResult stopped = result;
    if (stopped.szStoppedBy.empty()) stopped.szStoppedBy = m_szPeerStop;
    return m_pPeers->FinishRank(DescribeRank(stopped, EventLogPath()), m_szPeerStop);
  }

  RunResult LastResult() const {
    if (m_bHaveProgress) return m_last.result;
    RunResult result;
    for (const Target& target : m_options.targets) {
      TargetResult row;
      row.target = target;
      row.szStatus = "FAIL";
      result.targets.push_back(row);
    }
    return result;
  }

  // The event the child could not write.
  static void ReportEvent(uint32_t dwEventId, const std::string& szWhere, const std::string& szDetail) {
    HEVENTLOG hLog = RegisterEventSource(kEventSourceName);
    const char* strings[] = {szWhere.c_str(), szDetail.c_str()};
    ReportWorkerEvent(hLog, 1, dwEventId, nullptr, EVENTLOG_ERROR_TYPE, szDetail.empty() ? 1 : 2, 0, strings,
                      nullptr);
    if (hLog != nullptr) DeregisterEventSource(hLog);
  }

  const RunOptions& m_options;
  CSignalWatch& m_signals;
  IRunPeers* m_pPeers;
  CForkedProcess m_child;
  CFrameReader m_reader;
  Clock::time_point m_tDeadline{};
  std::string m_szPhase;       // the child's last phase frame
  std::string m_szStopSignal;  // the interrupt passed on to the child
  RunProgress m_last;          // its last tick
  bool m_bHaveProgress = false;
  Clock::time_point m_tLast{};
  bool m_bOutBroken = false;
  bool m_bErrBroken = false;
  bool m_bOutAtLineStart = true;
  bool m_bErrAtLineStart = true;
  // With peers.
  int m_nMeetings = 0;
  std::string m_szMeeting;  // what the last meeting answered
  std::string m_szChildStop;
  bool m_bChildEnded = false;
  PeerSample m_sample;
  std::string m_szPeerStop;
  Clock::time_point m_tPolled{};
  bool m_bFinished = false;
  int m_nFinishExit = kExitWorkerFailed;
};

}  // namespace

int SuperviseRun(const RunOptions& options, CSignalWatch& signals, IRunPeers* pPeers) {
  SetIoTimeout(std::chrono::seconds(options.nIoTimeoutSeconds));
  CSupervisor supervisor(options, signals, pPeers);
  return supervisor.Run();
}

}  // namespace stratavon
