#include "mpi/MpiPeers.h"

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

#include "engine/RunRecord.h"
#include "mpi/RankTargets.h"
#include "platform/EventLog.h"

namespace stratavon {
namespace {

constexpr int kTagSample = 1;
constexpr int kTagControl = 2;
constexpr int kTagResult = 3;
constexpr int kTagVerdict = 4;
constexpr auto kSamplePeriod = std::chrono::milliseconds(250);
constexpr auto kLivePeriod = std::chrono::seconds(2);
constexpr size_t kHostBytes = 256;
constexpr size_t kRefusalBytes = 1024;

template <size_t N>
void CopyText(char (&sz)[N], const std::string& szFrom) {
  const size_t n = std::min(szFrom.size(), N - 1);
  std::memcpy(sz, szFrom.data(), n);
  sz[n] = '\0';
}

std::string Seconds(std::chrono::nanoseconds d) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(d).count()) + " s";
}

// How long a meeting waits for the slowest rank: its preparation may wait
// on a slow target as long as a call may take.
std::chrono::milliseconds MeetingLimit() {
  return std::max<std::chrono::milliseconds>(IoTimeout(), std::chrono::seconds(30)) + CMpiPeers::kLostAfter;
}

std::string ElapsedText(std::chrono::nanoseconds d) {
  const long long n = std::chrono::duration_cast<std::chrono::seconds>(d).count();
  char sz[32];
  std::snprintf(sz, sizeof sz, "%02lld:%02lld:%02lld:%02lld", n / 86400, n / 3600 % 24, n / 60 % 60, n % 60);
  return sz;
}

}  // namespace

CMpiPeers::CMpiPeers(MPI_Comm comm, bool bJson) : m_comm(comm), m_bJson(bJson) {
  MPI_Comm_rank(m_comm, &m_nRank);
  MPI_Comm_size(m_comm, &m_nRanks);
  char szHost[kHostBytes] = {};
  if (gethostname(szHost, sizeof szHost - 1) != 0) std::strcpy(szHost, "unknown");
  m_szHost = szHost;
  std::vector<char> all(kHostBytes * static_cast<size_t>(m_nRanks), 0);
  MPI_Request hRequest = MPI_REQUEST_NULL;
  if (MPI_Iallgather(szHost, kHostBytes, MPI_CHAR, all.data(), kHostBytes, MPI_CHAR, m_comm, &hRequest) ==
          MPI_SUCCESS &&
      WaitBounded(hRequest, Clock::now() + MeetingLimit())) {
    for (int r = 0; r < m_nRanks; ++r) m_hosts.emplace_back(all.data() + kHostBytes * static_cast<size_t>(r));
  } else {
    new std::vector<char>(std::move(all));  // MPI may still write into it
    m_bBroken = true;
    m_hosts.assign(static_cast<size_t>(m_nRanks), "?");
    m_hosts[static_cast<size_t>(m_nRank)] = m_szHost;
  }
  m_peers.resize(static_cast<size_t>(m_nRanks));
}

CMpiPeers::~CMpiPeers() {
  for (Peer& peer : m_peers) {
    Abandon(peer.hRecv);
    if (peer.hSend != MPI_REQUEST_NULL) MPI_Request_free(&peer.hSend);
  }
}

std::string CMpiPeers::RankName(int nRank) const {
  return "rank " + std::to_string(nRank) + " on " + m_hosts[static_cast<size_t>(nRank)];
}

bool CMpiPeers::WaitBounded(MPI_Request& hRequest, Clock::time_point tLimit) {
  for (;;) {
    int nDone = 0;
    if (MPI_Test(&hRequest, &nDone, MPI_STATUS_IGNORE) != MPI_SUCCESS) return false;
    if (nDone != 0) return true;
    if (Clock::now() >= tLimit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void CMpiPeers::Abandon(MPI_Request& hRequest) {
  if (hRequest == MPI_REQUEST_NULL) return;
  MPI_Cancel(&hRequest);
  MPI_Request_free(&hRequest);
}

void CMpiPeers::AddRefusal(const std::string& szRefusal) {
  m_szRefusal = m_szRefusal.empty() ? szRefusal : m_szRefusal + "; " + szRefusal;
}

std::string CMpiPeers::Agree(const std::string& szRefusal) {
  std::string szMine = szRefusal;
  if (m_nMeetings++ == 0 && !m_szRefusal.empty()) szMine = szMine.empty() ? m_szRefusal : m_szRefusal + "; " + szMine;
  auto pMine = std::make_unique<std::vector<char>>(kRefusalBytes, 0);
  auto pAll = std::make_unique<std::vector<char>>(kRefusalBytes * static_cast<size_t>(m_nRanks), 0);
  std::memcpy(pMine->data(), szMine.data(), std::min(szMine.size(), kRefusalBytes - 1));
  MPI_Request hRequest = MPI_REQUEST_NULL;
  const bool bPosted = MPI_Iallgather(pMine->data(), kRefusalBytes, MPI_CHAR, pAll->data(), kRefusalBytes, MPI_CHAR,
                                      m_comm, &hRequest) == MPI_SUCCESS;
  if (!bPosted || !WaitBounded(hRequest, Clock::now() + MeetingLimit())) {
    // A collective cannot be taken back: its buffers stay where MPI may
    // still write, and this job cannot finish cleanly.
    (void)pMine.release();
    (void)pAll.release();
    m_bBroken = true;
    const std::string szWhy = "not every rank reached the meeting within " + Seconds(MeetingLimit());
    if (Reports()) std::fprintf(stderr, "stratavon-mpi: %s\n", szWhy.c_str());
    return szWhy;
  }
  // The same refusal on many ranks (as a bad setting gives) is said once.
  std::vector<std::pair<std::string, std::string>> groups;
  for (int r = 0; r < m_nRanks; ++r) {
    const std::string szText(pAll->data() + kRefusalBytes * static_cast<size_t>(r));
    if (szText.empty()) continue;
    auto it = std::find_if(groups.begin(), groups.end(), [&](const auto& group) { return group.first == szText; });
    if (it == groups.end()) {
      groups.emplace_back(szText, RankName(r));
    } else {
      it->second += ", " + RankName(r);
    }
  }
  std::string szAll;
  for (const auto& [szText, szRanks] : groups) szAll += (szAll.empty() ? "" : "; ") + szRanks + ": " + szText;
  if (!szAll.empty()) {
    if (Reports()) std::fprintf(stderr, "stratavon-mpi: refused on every rank, because of %s\n", szAll.c_str());
    return szAll;
  }
  if (m_nMeetings == 1) {
    // Every rank accepted the settings: now its own folders may be made.
    // One that cannot be made fails the target's preparation, which the
    // next meeting refuses everywhere.
    for (const std::string& szFolder : m_rankFolders) {
      if (const std::string szWhy = MakeRankFolder(szFolder); !szWhy.empty()) {
        std::fprintf(stderr, "stratavon-mpi: %s: %s\n", RankName(m_nRank).c_str(), szWhy.c_str());
      }
    }
  }
  return {};
}

CMpiPeers::Sample CMpiPeers::OwnSample(const std::string& szLocalStop, bool bWorkersEnded) const {
  Sample sample{};
  sample.qwBytes = m_own.qwBytes;
  sample.qwIos = m_own.qwIos;
  sample.nFailures = m_own.nFailures;
  sample.nWorkersEnded = bWorkersEnded ? 1 : 0;
  CopyText(sample.szStop, szLocalStop);
  return sample;
}

std::string CMpiPeers::Poll(const std::string& szLocalStop, bool bWorkersEnded, const PeerSample& sample) {
  m_own = sample;
  if (m_bStopped) return m_szStoppedBy;
  const Clock::time_point tNow = Clock::now();
  if (!m_bLiveBegun) {
    m_bLiveBegun = true;
    m_tLiveStart = tNow;
    m_tLastShown = tNow;
    for (Peer& peer : m_peers) peer.tHeard = tNow;
  }
  const Clock::time_point tBefore = Clock::now();
  std::string szStop = m_nRank == 0 ? PollRoot(szLocalStop, bWorkersEnded) : PollOther(szLocalStop, bWorkersEnded);
  m_exchangeTime += Clock::now() - tBefore;
  if (!szStop.empty()) {
    m_bStopped = true;
    m_szStoppedBy = szStop;
  }
  return szStop;
}

void CMpiPeers::SendControl(int nRank, bool bStop, const std::string& szWhy) {
  Peer& peer = m_peers[static_cast<size_t>(nRank)];
  if (peer.hSend != MPI_REQUEST_NULL) {
    int nDone = 0;
    if (MPI_Test(&peer.hSend, &nDone, MPI_STATUS_IGNORE) != MPI_SUCCESS || nDone == 0) return;
  }
  peer.control.nStop = bStop ? 1 : 0;
  CopyText(peer.control.szWhy, szWhy);
  MPI_Isend(&peer.control, sizeof peer.control, MPI_BYTE, nRank, kTagControl, m_comm, &peer.hSend);
}

std::string CMpiPeers::PollRoot(const std::string& szLocalStop, bool bWorkersEnded) {
  const Clock::time_point tNow = Clock::now();
  std::string szStop = szLocalStop;
  bool bAllEnded = bWorkersEnded;
  for (int r = 1; r < m_nRanks; ++r) {
    Peer& peer = m_peers[static_cast<size_t>(r)];
    if (peer.bLost) continue;
    for (;;) {
      if (peer.hRecv == MPI_REQUEST_NULL &&
          MPI_Irecv(&peer.sample, sizeof peer.sample, MPI_BYTE, r, kTagSample, m_comm, &peer.hRecv) != MPI_SUCCESS) {
        break;
      }
      int nDone = 0;
      if (MPI_Test(&peer.hRecv, &nDone, MPI_STATUS_IGNORE) != MPI_SUCCESS || nDone == 0) break;
      peer.latest = peer.sample;
      peer.tHeard = tNow;
      ++m_qwExchanges;
    }
    if (tNow - peer.tHeard > kLostAfter) {
      peer.bLost = true;
      m_bBroken = true;
      if (szStop.empty()) szStop = RankName(r) + " lost, silent for " + Seconds(tNow - peer.tHeard);
      std::fprintf(m_bJson ? stderr : stdout, "stratavon-mpi: %s has not been heard from for %s; stopping\n",
                   RankName(r).c_str(), Seconds(tNow - peer.tHeard).c_str());
      continue;
    }
    if (szStop.empty() && peer.latest.szStop[0] != '\0') szStop = std::string(peer.latest.szStop) + " at " + RankName(r);
    if (peer.latest.nWorkersEnded == 0) bAllEnded = false;
  }
  if (szStop.empty() && bAllEnded) szStop = "workers ended";
  if (!szStop.empty() || tNow - m_tLastSample >= kSamplePeriod) {
    m_tLastSample = tNow;
    for (int r = 1; r < m_nRanks; ++r) {
      if (!m_peers[static_cast<size_t>(r)].bLost) SendControl(r, !szStop.empty(), szStop);
    }
  }
  if (tNow - m_tLastShown >= kLivePeriod) ShowLive(tNow);
  return szStop;
}

std::string CMpiPeers::PollOther(const std::string& szLocalStop, bool bWorkersEnded) {
  const Clock::time_point tNow = Clock::now();
  Peer& root = m_peers[0];
  for (;;) {
    if (root.hRecv == MPI_REQUEST_NULL &&
        MPI_Irecv(&root.control, sizeof root.control, MPI_BYTE, 0, kTagControl, m_comm, &root.hRecv) != MPI_SUCCESS) {
      break;
    }
    int nDone = 0;
    if (MPI_Test(&root.hRecv, &nDone, MPI_STATUS_IGNORE) != MPI_SUCCESS || nDone == 0) break;
    root.tHeard = tNow;
    ++m_qwExchanges;
    if (root.control.nStop != 0) return root.control.szWhy;
  }
  if (tNow - root.tHeard > kLostAfter) {
    m_bBroken = true;
    return RankName(0) + " lost, silent for " + Seconds(tNow - root.tHeard);
  }
  if (tNow - m_tLastSample >= kSamplePeriod || !szLocalStop.empty()) {
    int nDone = 1;
    if (root.hSend != MPI_REQUEST_NULL) MPI_Test(&root.hSend, &nDone, MPI_STATUS_IGNORE);
    if (nDone != 0) {
      m_tLastSample = tNow;
      root.sample = OwnSample(szLocalStop, bWorkersEnded);
      MPI_Isend(&root.sample, sizeof root.sample, MPI_BYTE, 0, kTagSample, m_comm, &root.hSend);
    }
  }
  return {};
}

void CMpiPeers::ShowLive(Clock::time_point tNow) {
  const double dSeconds = std::chrono::duration<double>(tNow - m_tLastShown).count();
  m_tLastShown = tNow;
  if (dSeconds <= 0) return;
  struct Rate {
    int nRank;
    double dMb;
    double dIops;
  };
  std::vector<Rate> rates;
  const Sample own = OwnSample({}, false);
  const auto rate = [&](int nRank, const Sample& now, Sample& shown) {
    rates.push_back({nRank, static_cast<double>(now.qwBytes - shown.qwBytes) / 1048576.0 / dSeconds,
                     static_cast<double>(now.qwIos - shown.qwIos) / dSeconds});
    shown = now;
  };
  rate(0, own, m_ownShown);
  std::string szTrouble;
  int nFailed = own.nFailures;
  for (int r = 1; r < m_nRanks; ++r) {
    Peer& peer = m_peers[static_cast<size_t>(r)];
    if (peer.bLost) {
      szTrouble += "  LOST " + RankName(r);
      continue;
    }
    nFailed += peer.latest.nFailures;
    rate(r, peer.latest, peer.shown);
  }
  if (nFailed != 0) szTrouble = "  FAIL: " + std::to_string(nFailed) + " worker(s)" + szTrouble;
  double dMb = 0;
  double dIops = 0;
  for (const Rate& one : rates) {
    dMb += one.dMb;
    dIops += one.dIops;
  }
  const auto [itSlow, itFast] =
      std::minmax_element(rates.begin(), rates.end(), [](const Rate& a, const Rate& b) { return a.dMb < b.dMb; });
  char szLine[512];
  std::snprintf(szLine, sizeof szLine,
                "[%s] all %zu rank(s)  %.1f MB/s  %.0f IOPS  slowest %s %.1f MB/s %.0f IOPS  fastest %s %.1f MB/s "
                "%.0f IOPS%s\n",
                ElapsedText(tNow - m_tLiveStart).c_str(), rates.size(), dMb, dIops, RankName(itSlow->nRank).c_str(),
                itSlow->dMb, itSlow->dIops, RankName(itFast->nRank).c_str(), itFast->dMb, itFast->dIops,
                szTrouble.c_str());
  FILE* pLive = m_bJson ? stderr : stdout;
  std::fputs(szLine, pLive);
  std::fflush(pLive);
}

int CMpiPeers::Finish(const RunResult& result) {
  return FinishRank(DescribeRank(result, EventLogPath()), result.szStoppedBy);
}

int CMpiPeers::FinishRank(const RankResult& rank, const std::string& szStoppedBy) {
  m_bStopped = true;
  return m_nRank == 0 ? FinishRoot(rank, szStoppedBy) : FinishOther(rank);
}

int CMpiPeers::FinishOther(const RankResult& own) {
  Peer& root = m_peers[0];
  Abandon(root.hRecv);
  std::string szMessage = PackRankResult(own);
  MPI_Request hResult = MPI_REQUEST_NULL;
  MPI_Request hVerdict = MPI_REQUEST_NULL;
  MPI_Isend(szMessage.data(), static_cast<int>(szMessage.size()), MPI_BYTE, 0, kTagResult, m_comm, &hResult);
  MPI_Irecv(&m_nVerdict, 1, MPI_INT, 0, kTagVerdict, m_comm, &hVerdict);
  // Rank 0 may first wait out its own stop and then the slowest rank's.
  const Clock::time_point tLimit = Clock::now() + 2 * IoTimeout() + 2 * kLostAfter;
  if (m_bBroken || !WaitBounded(hVerdict, tLimit)) {
    m_bBroken = true;
    // Rank 0 is gone: this rank's result is not lost with it.
    std::fprintf(stderr, "stratavon-mpi: %s: no verdict from rank 0; this rank's result:\n%s",
                 RankName(m_nRank).c_str(), own.szText.c_str());
    new std::string(std::move(szMessage));  // a send in flight keeps its bytes
    if (hResult != MPI_REQUEST_NULL) MPI_Request_free(&hResult);
    Abandon(hVerdict);
    return own.bPassed ? 0 : 1;
  }
  if (!WaitBounded(hResult, Clock::now() + kLostAfter)) {
    new std::string(std::move(szMessage));
    MPI_Request_free(&hResult);
  }
  return m_nVerdict;
}

int CMpiPeers::FinishRoot(const RankResult& own, const std::string& szStoppedBy) {
  std::vector<RankResult> ranks(static_cast<size_t>(m_nRanks));
  std::vector<bool> heard(static_cast<size_t>(m_nRanks), false);
  for (int r = 0; r < m_nRanks; ++r) {
    RankResult& rank = ranks[static_cast<size_t>(r)];
    rank.nRank = r;
    rank.szHost = m_hosts[static_cast<size_t>(r)];
    Abandon(m_peers[static_cast<size_t>(r)].hRecv);
  }
  ranks[0] = own;
  ranks[0].nRank = 0;
  ranks[0].szHost = m_szHost;
  heard[0] = true;
  // Every other rank first finishes its own stop, which waits at most the
  // I/O time-out for its workers.
  const auto limit = IoTimeout() + kLostAfter;
  const Clock::time_point tLimit = Clock::now() + limit;
  const auto waiting = [&] {
    for (int r = 1; r < m_nRanks; ++r) {
      if (!heard[static_cast<size_t>(r)] && !m_peers[static_cast<size_t>(r)].bLost) return true;
    }
    return false;
  };
  while (waiting() && Clock::now() < tLimit) {
    int nFound = 0;
    MPI_Status status;
    if (MPI_Iprobe(MPI_ANY_SOURCE, kTagResult, m_comm, &nFound, &status) != MPI_SUCCESS || nFound == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    int nBytes = 0;
    MPI_Get_count(&status, MPI_BYTE, &nBytes);
    auto pBytes = std::make_unique<std::string>(static_cast<size_t>(nBytes), '\0');
    MPI_Request hRecv = MPI_REQUEST_NULL;
    MPI_Irecv(pBytes->data(), nBytes, MPI_BYTE, status.MPI_SOURCE, kTagResult, m_comm, &hRecv);
    if (!WaitBounded(hRecv, tLimit)) {
      (void)pBytes.release();
      break;
    }
    const size_t nSource = static_cast<size_t>(status.MPI_SOURCE);
    RankResult& rank = ranks[nSource];
    heard[nSource] = true;
    if (!UnpackRankResult(*pBytes, rank)) {
      rank.bLost = true;
      rank.szLost = "its result came garbled";
    }
  }
  for (int r = 1; r < m_nRanks; ++r) {
    RankResult& rank = ranks[static_cast<size_t>(r)];
    if (heard[static_cast<size_t>(r)]) continue;
    rank.bLost = true;
    m_bBroken = true;
    const Peer& peer = m_peers[static_cast<size_t>(r)];
    rank.szLost = peer.bLost ? "it fell silent during the run; its files and events on " + rank.szHost +
                                   " are as it left them"
                             : "no result within " + Seconds(limit) + " of the stop";
  }
  const RankTotals totals = SumRanks(ranks);
  if (m_bJson) {
    std::fputs(RanksJson(ranks, szStoppedBy).c_str(), stdout);
  } else {
    std::fputs(RanksText(ranks, szStoppedBy).c_str(), stdout);
  }
  std::fflush(stdout);
  m_nVerdict = totals.bPassed ? 0 : 1;
  std::vector<MPI_Request> sends;
  for (int r = 1; r < m_nRanks; ++r) {
    if (!heard[static_cast<size_t>(r)] || ranks[static_cast<size_t>(r)].bLost) continue;
    MPI_Request hSend = MPI_REQUEST_NULL;
    MPI_Isend(&m_nVerdict, 1, MPI_INT, r, kTagVerdict, m_comm, &hSend);
    sends.push_back(hSend);
  }
  for (MPI_Request& hSend : sends) {
    if (!WaitBounded(hSend, Clock::now() + kLostAfter)) {
      m_bBroken = true;
      MPI_Request_free(&hSend);
    }
  }
  return m_nVerdict;
}

}  // namespace stratavon
