#include "run/RunOptions.h"

#include <getopt.h>

#include <cctype>
#include <charconv>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/RunRecord.h"
#include "platform/BlockDevice.h"
#include "run/RunChoices.h"
#include "run/SizeList.h"

namespace stratavon {
namespace {

bool ParseNumber(std::string_view szText, int nLow, int nHigh, int* pnValue) {
  int nValue = 0;
  const auto [pEnd, ec] = std::from_chars(szText.data(), szText.data() + szText.size(), nValue);
  if (ec != std::errc() || pEnd != szText.data() + szText.size() || nValue < nLow || nValue > nHigh) return false;
  *pnValue = nValue;
  return true;
}

std::string Lower(std::string_view szText) {
  std::string sz(szText);
  for (char& c : sz) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return sz;
}

// The option getopt stopped at, as typed.
std::string OffendingOption(char** argv) {
  if (optopt > 0 && optopt < 128 && std::isalpha(optopt)) return std::string("-") + static_cast<char>(optopt);
  return argv[optind - 1];
}

std::string SizeItemsList() {
  std::string sz;
  for (int i = 0; i < kSizeItems; ++i) sz += (i == 0 ? "" : ", ") + std::string(SizeItemText(i));
  return sz;
}

// "FROM to TO", as the usage and the refusals give a range.
std::string Range(long nLow, long nHigh) { return std::to_string(nLow) + " to " + std::to_string(nHigh); }

// One option of `run`: its names, whether it takes a value, whether it is
// an advanced console's setting (which --simple cannot honour), what it
// does with its value, and its lines in the usage. The parser and the
// usage both come from the one table below.
struct OptionHelp {
  std::string szLeft;  // the option as the usage names it ("-t DIR")
  std::string szText;  // its description, lines apart by '\n'
};

// Takes the option's value (empty for a switch) into the options; empty
// when taken, else why not.
using ApplyFn = std::function<std::string(std::string_view szArg, RunOptions& options)>;

// A switch: sets its flag.
ApplyFn Sets(bool RunOptions::*pbFlag, bool bValue = true) {
  return [=](std::string_view, RunOptions& options) {
    options.*pbFlag = bValue;
    return std::string();
  };
}
ApplyFn SetsChoice(bool RunChoices::*pbFlag) {
  return [=](std::string_view, RunOptions& options) {
    options.choices.*pbFlag = true;
    return std::string();
  };
}
// A name kept as typed; szWhenEmpty says what it needs.
ApplyFn Keeps(std::string RunOptions::*pszField, const char* szWhenEmpty) {
  return [=](std::string_view szArg, RunOptions& options) {
    if (szArg.empty()) return std::string(szWhenEmpty);
    options.*pszField = szArg;
    return std::string();
  };
}

struct OptionRow {
  const char* szName;  // the long name, after "--"
  char cShort;         // the short letter; 0: the long name only
  bool bValue;
  bool bAdvanced;
  ApplyFn apply;       // none: --help
  std::vector<OptionHelp> help;  // none: described with another option
};

std::string Quoted(std::string_view szArg) { return "\"" + std::string(szArg) + "\""; }

std::string ApplyTarget(std::string_view szArg, RunOptions& options) {
  if (szArg.empty()) return "-t needs a folder";
  // A block device (or a link to one, /dev/disk/by-id/...) is a device
  // target, named by its resolved node.
  std::string szNode;
  dev_t nDevice = 0;
  if (ResolveBlockDevice(std::string(szArg), &szNode, &nDevice)) {
    options.targets.push_back(DeviceTarget(szNode));
    options.targets.back().qwDeviceNumber = nDevice;
    return {};
  }
  options.targets.push_back(FolderTarget(std::string(szArg)));
  if (options.targets.back().szPath.back() != '/') options.targets.back().szPath += '/';
  return {};
}

std::string ApplyFunction(std::string_view szArg, RunOptions& options) {
  const std::string szFunction = Lower(szArg);
  if (szFunction == "read") {
    options.dwFunction = FUNCTION_READ;
  } else if (szFunction == "write") {
    options.dwFunction = FUNCTION_WRITE;
  } else if (szFunction == "both" || szFunction == "read/write") {
    options.dwFunction = FUNCTION_READ_WRITE;
  } else {
    return "-f takes read, write or both, not " + Quoted(szArg);
  }
  return {};
}

std::string ApplyPattern(std::string_view szArg, RunOptions& options) {
  const std::string szLower = Lower(szArg);
  if (szLower == "stamped") {
    options.bStamped = true;
    return {};
  }
  if (szLower.starts_with("stamped:")) {
    options.bStamped = true;
    szArg = szArg.substr(8);
  }
  options.szPattern = szArg;
  options.bPatternGiven = true;
  return {};
}

std::string ApplySize(std::string_view szArg, const char* szOption, uint32_t* pdwSize) {
  const int nIndex = SizeItemIndex(szArg);
  if (nIndex < 0) return std::string(szOption) + " takes one of " + SizeItemsList() + ", not " + Quoted(szArg);
  SizeOfListIndex(nIndex, pdwSize);
  return {};
}

std::string ApplyLogFormat(std::string_view szArg, RunOptions& options) {
  const std::string szFormat = Lower(szArg);
  if (szFormat != "json" && szFormat != "csv") return "--log-format takes json or csv, not " + Quoted(szArg);
  options.bLogCsv = szFormat == "csv";
  return {};
}

const std::vector<OptionRow>& Options() {
  static const std::vector<OptionRow> rows = {
      {"target", 't', true, false, ApplyTarget,
       {{"-t DIR", "a target folder (repeat for more); work files go to DIR/READ and DIR/WRITE"},
        {"-t DEVICE",
         "a whole block device (/dev/sdX, /dev/disk/by-id/...): each worker on its own\n"
         "slice of it; a read run without -e only reads it"}}},
      {"destroy", 0, true, false,
       [](std::string_view szArg, RunOptions& options) -> std::string {
         if (szArg.empty()) return "--destroy needs a device";
         options.destroy.emplace_back(szArg);
         return {};
       },
       {{"--destroy DEVICE",
         "allow a run that writes (write, both, read with -e) to write DEVICE, erasing\n"
         "what is on it; a mounted, swap or held device is refused all the same"}}},
      {"function", 'f', true, false, ApplyFunction, {{"-f FUNCTION", "read, write or both"}}},
      {"threads", 'n', true, false,
       [](std::string_view szArg, RunOptions& options) -> std::string {
         if (ParseNumber(szArg, kMinThreads, kMaxThreads, &options.nThreads)) return {};
         return "-n takes a thread count from " + Range(kMinThreads, kMaxThreads) + ", not " + Quoted(szArg);
       },
       {{"-n THREADS", "workers per function and target, " + Range(kMinThreads, kMaxThreads) + " (default " +
                           std::to_string(kDefaultThreads) + ")"}}},
      {"pattern", 'p', true, false, ApplyPattern,
       {{"-p PATTERN", "a typed byte of two hex digits (default AA), or crpat, cjtpat, cspat"},
        {"-p stamped",
         "stamped units: every 512-byte unit (or sector) starts with its offset,\n"
         "pass, slot, run id and checksum over the base pattern (stamped:crpat,\n"
         "stamped:AA, or stamped with --data-file); -e then names lost, stale,\n"
         "misdirected and foreign data"}}},
      {"data-file", 0, true, true,
       Keeps(&RunOptions::szDataFile, "--data-file needs a file"),
       {{"--data-file", "a pattern data file (.hvx): a 16-byte label, then the pattern bytes"}}},
      {"transfer", 'x', true, true,
       [](std::string_view szArg, RunOptions& options) {
         return ApplySize(szArg, "-x", &options.choices.dwTransferSize);
       },
       {{"-x, -b SIZE",
         "transfer and buffer size: 512B 1KB 2KB 4KB 8KB 16KB 32KB 64KB\n"
         "128KB 256KB 512KB 1MB 2MB 4MB (default 1MB each)"}}},
      {"buffer", 'b', true, true,
       [](std::string_view szArg, RunOptions& options) {
         return ApplySize(szArg, "-b", &options.choices.dwBufferSize);
       },
       {}},
      {"error-checking", 'e', false, true,
       SetsChoice(&RunChoices::bErrorChecking),
       {{"-e", "Error Checking: verify every pass"}}},
      {"performance", 'P', false, true,
       SetsChoice(&RunChoices::bPerformance),
       {{"-P", "Enable Performance: count bytes and I/Os, show MB/s and IOPS"}}},
      {"async", 'a', false, true,
       SetsChoice(&RunChoices::bAsynchronous),
       {{"-a", "Asynchronous I/O, with -q DEPTH requests in flight (" + Range(kMinQueueDepth, kMaxQueueDepth) +
                   ", default " + std::to_string(kDefaultQueueDepth) + ")"}}},
      {"depth", 'q', true, true,
       [](std::string_view szArg, RunOptions& options) -> std::string {
         int nDepth = 0;
         if (!ParseNumber(szArg, static_cast<int>(kMinQueueDepth), static_cast<int>(kMaxQueueDepth), &nDepth)) {
           return "-q takes an I/O depth from " + Range(kMinQueueDepth, kMaxQueueDepth) + ", not " + Quoted(szArg);
         }
         options.choices.dwQueueDepth = static_cast<uint32_t>(nDepth);
         return {};
       },
       {}},
      {"keep-depth", 0, false, true,
       SetsChoice(&RunChoices::bKeepDepth),
       {{"--keep-depth",
         "with -a, keep DEPTH requests in flight: each completion is checked,\n"
         "counted and replaced at once (fio's usual queue), instead of issuing\n"
         "DEPTH at a time and waiting for all of them"}}},
      {"span", 's', true, true,
       [](std::string_view szArg, RunOptions& options) -> std::string {
         if (ParseSpanSize(szArg, &options.choices.qwSpanBytes)) return {};
         return "-s takes a work-file size such as 64MB or 10GB, or fill, not " + Quoted(szArg);
       },
       {{"-s SIZE|fill",
         "each worker's work file is SIZE long (64MB, 10GB), walked buffer by buffer\n"
         "every pass (with -a, depth buffers at a time); fill shares the target's\n"
         "free space between its workers (a tenth left over)"}}},
      {"duration", 'd', true, false,
       [](std::string_view szArg, RunOptions& options) -> std::string {
         if (ParseNumber(szArg, 1, 365 * 86400, &options.nSeconds)) return {};
         return "-d takes a number of seconds from 1 to 31536000, not " + Quoted(szArg);
       },
       {{"-d SECONDS",
         "stop after this many seconds of load, counted once every worker has\n"
         "begun its I/O (default: run until Ctrl-C)"}}},
      {"io-timeout", 0, true, false,
       [](std::string_view szArg, RunOptions& options) -> std::string {
         if (ParseNumber(szArg, 1, 86400, &options.nIoTimeoutSeconds)) return {};
         return "--io-timeout takes a number of seconds from 1 to 86400, not " + Quoted(szArg);
       },
       {{"--io-timeout SECONDS",
         "a call that takes longer fails with I/O TIMEOUT, and a stop waits at\n"
         "most this long for its workers (default 120)"}}},
      {"simple", 0, false, false,
       Sets(&RunOptions::bSimple),
       {{"--simple",
         "the simple console's pure load instead of the advanced settings:\n"
         "1MB direct transfers, nothing counted or checked (-x -b -e -P -a -q\n"
         "--data-file do not apply); prints the status every 2 s"}}},
      {"json", 0, false, false,
       Sets(&RunOptions::bJson),
       {{"--json", "print one JSON object at the end and nothing else on stdout"}}},
      {"log", 0, true, true,
       Keeps(&RunOptions::szLogFile, "--log needs a file"),
       {{"--log FILE",
         "every 2 s one line per target and one for the total: time, MB/s,\n"
         "IOPS, latency p50/p99/max of the period, status (JSON lines, or\n"
         "--log-format csv); written as it goes"}}},
      {"log-format", 0, true, true, ApplyLogFormat, {}},
      {"no-latency", 0, false, true,
       Sets(&RunOptions::bLatency, false),
       {{"--no-latency", "with -P, do not time the I/Os (no latency figures)"}}},
      {"flush-every", 0, true, true,
       [](std::string_view szArg, RunOptions& options) -> std::string {
         if (ParseSpanSize(szArg, &options.qwFlushEveryBytes) && options.qwFlushEveryBytes != kSpanFill) return {};
         return "--flush-every takes a size such as 64KB or 16MB, not " + Quoted(szArg);
       },
       {{"--flush-every SIZE",
         "with -p stamped, each writer flushes (fdatasync) after every SIZE of\n"
         "acknowledged writes and journals the units now durable; failed writes\n"
         "are journaled as failed. verify --journal then names lost flushes"}}},
      {"journal", 0, true, true,
       Keeps(&RunOptions::szJournal, "--journal needs a file or tcp:HOST:PORT"),
       {{"--journal FILE|tcp:HOST:PORT",
         "where the journal goes (default: flush-journal in the state folder);\n"
         "tcp: to journal-listen on another machine, each record answered once\n"
         "it is on that machine's disk"}}},
      {"passes", 0, true, true,
       [](std::string_view szArg, RunOptions& options) -> std::string {
         int nPasses = 0;
         if (!ParseNumber(szArg, 1, 1000000, &nPasses)) {
           return "--passes takes a number of passes from 1 to 1000000, not " + Quoted(szArg);
         }
         options.choices.dwPasses = static_cast<uint32_t>(nPasses);
         return {};
       },
       {{"--passes N",
         "each worker ends after N passes over its work file or slice (the run\n"
         "ends when every worker has)"}}},
      {"help", 'h', false, false, nullptr, {}},
  };
  return rows;
}

// getopt's value of a row: its letter, or past every letter for a long name only.
constexpr int kLongOnlyValue = 1000;

int ValueOf(const OptionRow& row, size_t nRow) {
  return row.cShort != 0 ? row.cShort : kLongOnlyValue + static_cast<int>(nRow);
}

const OptionRow* RowOf(int nValue) {
  const std::vector<OptionRow>& rows = Options();
  for (size_t i = 0; i < rows.size(); ++i) {
    if (ValueOf(rows[i], i) == nValue) return &rows[i];
  }
  return nullptr;
}

// The options' part of the usage: each option, and its description from
// the 17th column on (below it when the option is wider).
std::string OptionsHelp() {
  constexpr size_t kTextColumn = 16;
  std::string sz;
  for (const OptionRow& row : Options()) {
    for (const OptionHelp& help : row.help) {
      const std::string szLeft = "  " + help.szLeft;
      const bool bBeside = szLeft.size() + 2 <= kTextColumn;
      sz += bBeside ? szLeft + std::string(kTextColumn - szLeft.size(), ' ') : szLeft + "\n" + std::string(kTextColumn, ' ');
      for (char c : help.szText) sz += c == '\n' ? "\n" + std::string(kTextColumn, ' ') : std::string(1, c);
      sz += "\n";
    }
  }
  return sz;
}

const std::string& Usage() {
  static const std::string szUsage = std::string("usage:\n"
         "  stratavon-cli run -t DIR|DEVICE [-t ...] -f read|write|both [-n THREADS]\n"
         "                    [-p HH|crpat|cjtpat|cspat|stamped[:BASE]] [--data-file FILE.hvx]\n"
         "                    [-x TRANSFER] [-b BUFFER] [-e] [-P] [-a] [-q DEPTH] [--keep-depth]\n"
         "                    [-s SIZE|fill] [-d SECONDS] [--io-timeout SECONDS] [--simple] [--json]\n"
         "                    [--log FILE [--log-format json|csv]] [--no-latency] [--passes N] [--destroy DEVICE]\n"
         "                    [--flush-every SIZE [--journal FILE|tcp:HOST:PORT]]\n"
         "  stratavon-cli targets\n"
         "  stratavon-cli events [--json]\n"
         "  stratavon-cli selftest [DIR]\n"
         "  stratavon-cli verify FILE|DEVICE... [--pass N] [--journal FILE] [--json]\n"
         "  stratavon-cli journal-listen PORT DIR\n"
         "  stratavon-cli --version\n"
         "\n"
         "run options:\n") + OptionsHelp() +
         "\n"
         "exit status: 0 PASS; 1 FAIL: a worker failed or stalled, a call failed (also without\n"
         "             -e), or a target moved no data; 2 the run was refused\n";
  return szUsage;
}

}  // namespace

const char* UsageText() { return Usage().c_str(); }

ParseOutcome ParseRunOptions(int argc, char** argv, RunOptions& options, std::string* pszError) {
  const auto fail = [&](const std::string& szWhy) {
    if (pszError != nullptr) *pszError = szWhy;
    return ParseOutcome::kUsage;
  };
  // getopt's tables, from the options' own.
  static const std::vector<option> longOptions = [] {
    std::vector<option> longs;
    const std::vector<OptionRow>& rows = Options();
    for (size_t i = 0; i < rows.size(); ++i) {
      longs.push_back({rows[i].szName, rows[i].bValue ? required_argument : no_argument, nullptr, ValueOf(rows[i], i)});
    }
    longs.push_back({nullptr, 0, nullptr, 0});
    return longs;
  }();
  static const std::string szShortOptions = [] {
    std::string sz = ":";  // a missing value comes back as ':'
    for (const OptionRow& row : Options()) {
      if (row.cShort != 0) sz += row.bValue ? std::string{row.cShort, ':'} : std::string{row.cShort};
    }
    return sz;
  }();
  // getopt keeps its place between calls; start from the first argument.
  optind = 0;
  opterr = 0;
  // The first advanced setting typed, which a --simple run cannot honour.
  std::string szAdvanced;
  int nOption;
  while ((nOption = getopt_long(argc, argv, szShortOptions.c_str(), longOptions.data(), nullptr)) != -1) {
    if (nOption == ':') return fail("option " + OffendingOption(argv) + " needs a value");
    const OptionRow* pRow = RowOf(nOption);
    if (pRow == nullptr) return fail("unknown option " + OffendingOption(argv));
    if (szAdvanced.empty() && pRow->bAdvanced) {
      szAdvanced = pRow->cShort != 0 ? std::string{'-', pRow->cShort} : std::string("--") + pRow->szName;
    }
    if (pRow->apply == nullptr) return ParseOutcome::kHelp;
    if (const std::string szWhy = pRow->apply(optarg != nullptr ? optarg : "", options); !szWhy.empty()) {
      return fail(szWhy);
    }
  }
  if (optind < argc) return fail("unexpected argument \"" + std::string(argv[optind]) + "\"");
  if (options.bPatternGiven && !options.szDataFile.empty()) {
    return fail("-p and --data-file both choose the pattern; give one of them");
  }
  if (options.bSimple && options.bStamped) {
    return fail("-p stamped is an advanced setting; --simple writes the plain pattern only");
  }
  if (options.qwFlushEveryBytes != 0 && !options.bStamped) {
    return fail("--flush-every journals stamped units; it needs -p stamped");
  }
  if (!options.szJournal.empty() && options.qwFlushEveryBytes == 0) {
    return fail("--journal records the flushes of --flush-every SIZE, which is missing");
  }
  if (options.qwFlushEveryBytes != 0 && options.choices.bKeepDepth) {
    return fail("--flush-every flushes after each drained batch; --keep-depth never drains the queue");
  }
  if (options.bSimple && !szAdvanced.empty()) {
    return fail(szAdvanced + " is an advanced setting; --simple runs the simple console's pure load "
                "(1MB direct transfers, nothing counted or checked) and takes only -t, -f, -n, -p and -d");
  }
  return ParseOutcome::kRun;
}

}  // namespace stratavon
