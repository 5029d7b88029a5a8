#pragma once

#include <mpi.h>

#include <chrono>
#include <string>
#include <vector>

#include "run/RunPeers.h"
#include "mpi/RankVerdict.h"

namespace stratavon {

// The ranks of an MPI job as the peers of one run. Every MPI call is made
// from the thread that runs the command (the rank's console thread), never
// from a worker, and every one is non-blocking and then tested in a loop
// with a time-out, so that a dead or hung rank is named instead of hanging
// the others. Rank 0 prints the live view and the verdict.
//
// While the workers run, every rank but 0 sends rank 0 a sample of its
// counters four times a second, and rank 0 answers each with a heartbeat
// that carries the stop. A rank that rank 0 has not heard from for
// kLostAfter is lost, and the run stops; a rank that has not heard from
// rank 0 for as long stops on its own.
class CMpiPeers : public IRunPeers {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kLostAfter = std::chrono::seconds(10);

  // Learns every rank's host name (a collective of the whole job).
  CMpiPeers(MPI_Comm comm, bool bJson);
  ~CMpiPeers() override;
  CMpiPeers(const CMpiPeers&) = delete;
  CMpiPeers& operator=(const CMpiPeers&) = delete;

  int Rank() const { return m_nRank; }
  const std::string& Host() const { return m_szHost; }
  // A refusal of this rank's own, made before the command's checks (a
  // target folder that cannot be made); joins the first meeting.
  void AddRefusal(const std::string& szRefusal);
  // The rank's folders, made once every rank has accepted the settings.
  void SetRankFolders(std::vector<std::string> folders) { m_rankFolders = std::move(folders); }
  // A rank was lost or a wait gave up: MPI_Finalize may never return.
  bool Broken() const { return m_bBroken; }

  std::string Agree(const std::string& szRefusal) override;
  std::string Poll(const std::string& szLocalStop, bool bWorkersEnded, const PeerSample& sample) override;
  bool Reports() const override { return m_nRank == 0; }
  int Finish(const RunResult& result) override;
  int FinishRank(const RankResult& rank, const std::string& szStoppedBy) override;

  // The cost of the live exchange on this rank's console thread so far:
  // samples sent or received, and the time spent inside MPI calls for them.
  uint64_t ExchangeCount() const { return m_qwExchanges; }
  std::chrono::nanoseconds ExchangeTime() const { return m_exchangeTime; }

 private:
  struct Sample {
    uint64_t qwBytes;
    uint64_t qwIos;
    int32_t nFailures;
    int32_t nWorkersEnded;
    char szStop[48];  // why this rank wants the run to end, or empty
  };
  struct Control {
    int32_t nStop;
    char szWhy[120];
  };
  struct Peer {
    MPI_Request hRecv = MPI_REQUEST_NULL;
    MPI_Request hSend = MPI_REQUEST_NULL;
    Sample sample{};    // the one in flight (received at rank 0, sent elsewhere)
    Sample latest{};
    Sample shown{};     // at the last live view
    Control control{};  // the one in flight (sent at rank 0, received elsewhere)
    Clock::time_point tHeard{};
    bool bLost = false;
  };

  bool WaitBounded(MPI_Request& hRequest, Clock::time_point tLimit);
  void Abandon(MPI_Request& hRequest);
  std::string PollRoot(const std::string& szLocalStop, bool bWorkersEnded);
  std::string PollOther(const std::string& szLocalStop, bool bWorkersEnded);
  void SendControl(int nRank, bool bStop, const std::string& szWhy);
  void ShowLive(Clock::time_point tNow);
  Sample OwnSample(const std::string& szLocalStop, bool bWorkersEnded) const;
  int FinishRoot(const RankResult& own, const std::string& szStoppedBy);
  int FinishOther(const RankResult& own);
  std::string RankName(int nRank) const;

  MPI_Comm m_comm;
  int m_nRank = 0;
  int m_nRanks = 1;
  bool m_bJson;
  std::string m_szHost;
  std::vector<std::string> m_hosts;
  std::string m_szRefusal;
  std::vector<std::string> m_rankFolders;
  int m_nMeetings = 0;
  PeerSample m_own;  // this rank's counters at its last Poll
  bool m_bBroken = false;
  bool m_bLiveBegun = false;
  bool m_bStopped = false;
  std::string m_szStoppedBy;
  Clock::time_point m_tLiveStart{};
  Clock::time_point m_tLastSample{};
  Clock::time_point m_tLastShown{};
  std::vector<Peer> m_peers;  // rank 0: one per rank; others: [0] is rank 0
  Sample m_ownShown{};
  int m_nVerdict = -1;  // sent or received by a request that may outlive Finish
  uint64_t m_qwExchanges = 0;
  std::chrono::nanoseconds m_exchangeTime{0};
};

}  // namespace stratavon
