// The flush journal's own cost: records appended per second to a local file
// (synced per write, in the folder BENCH_JOURNAL_DIR names, default /tmp),
// and sent over loopback TCP to a listener that syncs each frame before it
// answers. Each iteration appends ARG records and waits for the journal to
// have written them: ARG 1 is a lone writer's flushes, each record then
// waiting for the journal's next write slot (at most one every 10 ms), so
// its rate is the journal's latency; ARG 64 is a burst of
// flushes, as many workers' together, that go in one write.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "engine/FlushJournal.h"
#include "platform/TcpStream.h"

namespace stratavon {
namespace {

// A fresh folder for one benchmark, removed after it.
class CScratch {
 public:
  CScratch() {
    const char* psz = std::getenv("BENCH_JOURNAL_DIR");
    std::string szTemplate = std::string(psz ? psz : "/tmp") + "/journal_bench.XXXXXX";
    if (mkdtemp(szTemplate.data())) m_szDir = szTemplate;
  }
  ~CScratch() {
    std::error_code ec;
    if (!m_szDir.empty()) std::filesystem::remove_all(m_szDir, ec);
  }
  const std::string& Dir() const { return m_szDir; }

 private:
  std::string m_szDir;
};

JournalRecord Sample(uint64_t n) {
  JournalRecord record;
  record.qwRunId = 0x0123456789ABCDEFull;
  record.dwSlot = 25;
  record.dwUnitBytes = 4096;
  record.dwPass = 1;
  record.qwFrom = n << 20;
  record.qwTo = (n + 1) << 20;
  record.qwTimeNs = JournalNow();
  record.szPath = "/mnt/disk/WRITE/KORVA25.DAT";
  return record;
}

void Append(benchmark::State& state, CFlushJournal& journal) {
  uint64_t n = 0;
  std::string szError;
  const auto nBurst = static_cast<uint64_t>(state.range(0));
  for (auto _ : state) {
    bool bQueued = true;
    for (uint64_t i = 0; i < nBurst && bQueued; ++i) bQueued = journal.Append(Sample(n++), &szError);
    if (!bQueued) {
      state.SkipWithError(szError.c_str());
      break;
    }
    const auto tLimit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (journal.Written() < n && std::chrono::steady_clock::now() < tLimit) std::this_thread::yield();
    if (journal.Written() < n) {
      state.SkipWithError("the journal wrote nothing for a minute");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(n));
}

void BM_JournalLocalFile(benchmark::State& state) {
  CScratch dir;
  CFlushJournal journal;
  std::string szError;
  if (!journal.Open(dir.Dir() + "/flush-journal", &szError)) return state.SkipWithError(szError.c_str());
  Append(state, journal);
}
BENCHMARK(BM_JournalLocalFile)->Arg(1)->Arg(64)->UseRealTime();

void BM_JournalLoopbackTcp(benchmark::State& state) {
  CScratch dir;
  CTcpListener listener;
  std::string szError;
  if (!listener.Listen(0, &szError)) return state.SkipWithError(szError.c_str());
  std::thread server([&] {
    CTcpStream stream;
    std::string szWhy;
    if (listener.Accept(&stream, 10000, &szWhy)) (void)ServeJournalConnection(stream, dir.Dir());
  });
  {
    CFlushJournal journal;
    if (journal.Open("tcp:127.0.0.1:" + std::to_string(listener.Port()), &szError)) {
      Append(state, journal);
    } else {
      state.SkipWithError(szError.c_str());
    }
  }
  server.join();
}
BENCHMARK(BM_JournalLoopbackTcp)->Arg(1)->Arg(64)->UseRealTime();

}  // namespace
}  // namespace stratavon
