#include "run/RunOptions.h"

#include <getopt.h>

#include <cctype>
#include <charconv>
#include <string_view>

#include "engine/RunRecord.h"
#include "platform/BlockDevice.h"
#include "run/RunChoices.h"
#include "run/SizeList.h"

namespace stratavon {
namespace {

enum LongOnly : int { kOptDataFile = 1000, kOptSimple, kOptJson, kOptIoTimeout, kOptLog, kOptLogFormat, kOptNoLatency,
                       kOptKeepDepth, kOptFlushEvery, kOptJournal, kOptDestroy, kOptPasses };

constexpr option kLongOptions[] = {
    {"target", required_argument, nullptr, 't'},
    {"function", required_argument, nullptr, 'f'},
    {"threads", required_argument, nullptr, 'n'},
    {"pattern", required_argument, nullptr, 'p'},
    {"span", required_argument, nullptr, 's'},
    {"data-file", required_argument, nullptr, kOptDataFile},
    {"transfer", required_argument, nullptr, 'x'},
    {"buffer", required_argument, nullptr, 'b'},
    {"error-checking", no_argument, nullptr, 'e'},
    {"performance", no_argument, nullptr, 'P'},
    {"async", no_argument, nullptr, 'a'},
    {"depth", required_argument, nullptr, 'q'},
    {"keep-depth", no_argument, nullptr, kOptKeepDepth},
    {"duration", required_argument, nullptr, 'd'},
    {"simple", no_argument, nullptr, kOptSimple},
    {"json", no_argument, nullptr, kOptJson},
    {"io-timeout", required_argument, nullptr, kOptIoTimeout},
    {"help", no_argument, nullptr, 'h'},
    {"log", required_argument, nullptr, kOptLog},
    {"log-format", required_argument, nullptr, kOptLogFormat},
    {"no-latency", no_argument, nullptr, kOptNoLatency},
    {"flush-every", required_argument, nullptr, kOptFlushEvery},
    {"journal", required_argument, nullptr, kOptJournal},
    {"destroy", required_argument, nullptr, kOptDestroy},
    {"passes", required_argument, nullptr, kOptPasses},
    {nullptr, 0, nullptr, 0},
};

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

std::string LongName(int nOption) {
  for (const option& o : kLongOptions) {
    if (o.val == nOption && o.name != nullptr) return std::string("--") + o.name;
  }
  return "?";
}

// The settings of the advanced console, which the simple console lacks.
bool IsAdvancedOption(int nOption) {
  switch (nOption) {
    case 'x': case 'b': case 'e': case 'P': case 'a': case 'q': case 's': case kOptDataFile: case kOptLog:
    case kOptLogFormat: case kOptNoLatency: case kOptKeepDepth: case kOptFlushEvery: case kOptJournal: case kOptPasses:
      return true;
    default:
      return false;
  }
}

std::string SizeItemsList() {
  std::string sz;
  for (int i = 0; i < kSizeItems; ++i) sz += (i == 0 ? "" : ", ") + std::string(SizeItemText(i));
  return sz;
}

// "FROM to TO", as the usage and the refusals give a range.
std::string Range(long nLow, long nHigh) { return std::to_string(nLow) + " to " + std::to_string(nHigh); }

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
         "run options:\n"
         "  -t DIR        a target folder (repeat for more); work files go to DIR/READ and DIR/WRITE\n"
         "  -t DEVICE     a whole block device (/dev/sdX, /dev/disk/by-id/...): each worker on its own\n"
         "                slice of it; a read run without -e only reads it\n"
         "  --destroy DEVICE\n"
         "                allow a run that writes (write, both, read with -e) to write DEVICE, erasing\n"
         "                what is on it; a mounted, swap or held device is refused all the same\n"
         "  -f FUNCTION   read, write or both\n"
         "  -n THREADS    workers per function and target, ") + Range(kMinThreads, kMaxThreads) +
         " (default " + std::to_string(kDefaultThreads) + ")\n" +
         "  -p PATTERN    a typed byte of two hex digits (default AA), or crpat, cjtpat, cspat\n"
         "  -p stamped    stamped units: every 512-byte unit (or sector) starts with its offset,\n"
         "                pass, slot, run id and checksum over the base pattern (stamped:crpat,\n"
         "                stamped:AA, or stamped with --data-file); -e then names lost, stale,\n"
         "                misdirected and foreign data\n"
         "  --data-file   a pattern data file (.hvx): a 16-byte label, then the pattern bytes\n"
         "  -x, -b SIZE   transfer and buffer size: 512B 1KB 2KB 4KB 8KB 16KB 32KB 64KB\n"
         "                128KB 256KB 512KB 1MB 2MB 4MB (default 1MB each)\n"
         "  -e            Error Checking: verify every pass\n"
         "  -P            Enable Performance: count bytes and I/Os, show MB/s and IOPS\n"
         "  -a            Asynchronous I/O, with -q DEPTH requests in flight (" + Range(kMinQueueDepth, kMaxQueueDepth) +
         ", default " + std::to_string(kDefaultQueueDepth) + ")\n" +
         "  --keep-depth  with -a, keep DEPTH requests in flight: each completion is checked,\n"
         "                counted and replaced at once (fio's usual queue), instead of issuing\n"
         "                DEPTH at a time and waiting for all of them\n" +
         "  -s SIZE|fill  each worker's work file is SIZE long (64MB, 10GB), walked buffer by buffer\n"
         "                every pass (with -a, depth buffers at a time); fill shares the target's\n"
         "                free space between its workers (a tenth left over)\n"
         "  -d SECONDS    stop after this many seconds of load, counted once every worker has\n"
         "                begun its I/O (default: run until Ctrl-C)\n"
         "  --io-timeout SECONDS\n"
         "                a call that takes longer fails with I/O TIMEOUT, and a stop waits at\n"
         "                most this long for its workers (default 120)\n"
         "  --simple      the simple console's pure load instead of the advanced settings:\n"
         "                1MB direct transfers, nothing counted or checked (-x -b -e -P -a -q\n"
         "                --data-file do not apply); prints the status every 2 s\n"
         "  --json        print one JSON object at the end and nothing else on stdout\n"
         "  --log FILE    every 2 s one line per target and one for the total: time, MB/s,\n"
         "                IOPS, latency p50/p99/max of the period, status (JSON lines, or\n"
         "                --log-format csv); written as it goes\n"
         "  --no-latency  with -P, do not time the I/Os (no latency figures)\n"
         "  --flush-every SIZE\n"
         "                with -p stamped, each writer flushes (fdatasync) after every SIZE of\n"
         "                acknowledged writes and journals the units now durable; failed writes\n"
         "                are journaled as failed. verify --journal then names lost flushes\n"
         "  --journal FILE|tcp:HOST:PORT\n"
         "                where the journal goes (default: flush-journal in the state folder);\n"
         "                tcp: to journal-listen on another machine, each record answered once\n"
         "                it is on that machine's disk\n"
         "  --passes N    each worker ends after N passes over its work file or slice (the run\n"
         "                ends when every worker has)\n"
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
  // getopt keeps its place between calls; start from the first argument.
  optind = 0;
  opterr = 0;
  // The first advanced setting typed, which a --simple run cannot honour.
  std::string szAdvanced;
  int nOption;
  while ((nOption = getopt_long(argc, argv, ":t:f:n:p:x:b:ePaq:d:s:h", kLongOptions, nullptr)) != -1) {
    const std::string_view szArg = optarg != nullptr ? optarg : "";
    if (szAdvanced.empty() && IsAdvancedOption(nOption)) {
      szAdvanced = nOption < 128 ? std::string("-") + static_cast<char>(nOption) : LongName(nOption);
    }
    switch (nOption) {
      case 't': {
        if (szArg.empty()) return fail("-t needs a folder");
        // A block device (or a link to one, /dev/disk/by-id/...) is a device
        // target, named by its resolved node.
        std::string szNode;
        dev_t nDevice = 0;
        if (ResolveBlockDevice(std::string(szArg), &szNode, &nDevice)) {
          options.targets.push_back(DeviceTarget(szNode));
          options.targets.back().qwDeviceNumber = nDevice;
          break;
        }
        options.targets.push_back(FolderTarget(std::string(szArg)));
        if (options.targets.back().szPath.back() != '/') options.targets.back().szPath += '/';
        break;
      }
      case kOptPasses: {
        int nPasses = 0;
        if (!ParseNumber(szArg, 1, 1000000, &nPasses)) {
          return fail("--passes takes a number of passes from 1 to 1000000, not \"" + std::string(szArg) + "\"");
        }
        options.choices.dwPasses = static_cast<uint32_t>(nPasses);
        break;
      }
      case kOptDestroy:
        if (szArg.empty()) return fail("--destroy needs a device");
        options.destroy.emplace_back(szArg);
        break;
      case 'f': {
        const std::string szFunction = Lower(szArg);
        if (szFunction == "read") {
          options.dwFunction = FUNCTION_READ;
        } else if (szFunction == "write") {
          options.dwFunction = FUNCTION_WRITE;
        } else if (szFunction == "both" || szFunction == "read/write") {
          options.dwFunction = FUNCTION_READ_WRITE;
        } else {
          return fail("-f takes read, write or both, not \"" + std::string(szArg) + "\"");
        }
        break;
      }
      case 'n':
        if (!ParseNumber(szArg, kMinThreads, kMaxThreads, &options.nThreads)) {
          return fail("-n takes a thread count from " + Range(kMinThreads, kMaxThreads) + ", not \"" +
                      std::string(szArg) + "\"");
        }
        break;
      case 'p': {
        const std::string szLower = Lower(szArg);
        if (szLower == "stamped") {
          options.bStamped = true;
        } else if (szLower.starts_with("stamped:")) {
          options.bStamped = true;
          options.szPattern = szArg.substr(8);
          options.bPatternGiven = true;
        } else {
          options.szPattern = szArg;
          options.bPatternGiven = true;
        }
        break;
      }
      case kOptDataFile:
        if (szArg.empty()) return fail("--data-file needs a file");
        options.szDataFile = szArg;
        break;
      case 'x':
      case 'b': {
        const int nIndex = SizeItemIndex(szArg);
        if (nIndex < 0) {
          return fail(std::string(nOption == 'x' ? "-x" : "-b") + " takes one of " + SizeItemsList() + ", not \"" +
                      std::string(szArg) + "\"");
        }
        SizeOfListIndex(nIndex, nOption == 'x' ? &options.choices.dwTransferSize : &options.choices.dwBufferSize);
        break;
      }
      case 'e': options.choices.bErrorChecking = true; break;
      case 'P': options.choices.bPerformance = true; break;
      case 'a': options.choices.bAsynchronous = true; break;
      case 'q': {
        int nDepth = 0;
        if (!ParseNumber(szArg, static_cast<int>(kMinQueueDepth), static_cast<int>(kMaxQueueDepth), &nDepth)) {
          return fail("-q takes an I/O depth from " + Range(kMinQueueDepth, kMaxQueueDepth) + ", not \"" +
                      std::string(szArg) + "\"");
        }
        options.choices.dwQueueDepth = static_cast<uint32_t>(nDepth);
        break;
      }
      case 'd':
        if (!ParseNumber(szArg, 1, 365 * 86400, &options.nSeconds)) {
          return fail("-d takes a number of seconds from 1 to 31536000, not \"" + std::string(szArg) + "\"");
        }
        break;
      case 's':
        if (!ParseSpanSize(szArg, &options.choices.qwSpanBytes)) {
          return fail("-s takes a work-file size such as 64MB or 10GB, or fill, not \"" + std::string(szArg) + "\"");
        }
        break;
      case kOptKeepDepth: options.choices.bKeepDepth = true; break;
      case kOptSimple: options.bSimple = true; break;
      case kOptJson: options.bJson = true; break;
      case kOptIoTimeout:
        if (!ParseNumber(szArg, 1, 86400, &options.nIoTimeoutSeconds)) {
          return fail("--io-timeout takes a number of seconds from 1 to 86400, not \"" + std::string(szArg) + "\"");
        }
        break;
      case kOptLog:
        if (szArg.empty()) return fail("--log needs a file");
        options.szLogFile = szArg;
        break;
      case kOptLogFormat: {
        const std::string szFormat = Lower(szArg);
        if (szFormat != "json" && szFormat != "csv") {
          return fail("--log-format takes json or csv, not \"" + std::string(szArg) + "\"");
        }
        options.bLogCsv = szFormat == "csv";
        break;
      }
      case kOptNoLatency: options.bLatency = false; break;
      case kOptFlushEvery:
        if (!ParseSpanSize(szArg, &options.qwFlushEveryBytes) || options.qwFlushEveryBytes == kSpanFill) {
          return fail("--flush-every takes a size such as 64KB or 16MB, not \"" + std::string(szArg) + "\"");
        }
        break;
      case kOptJournal:
        if (szArg.empty()) return fail("--journal needs a file or tcp:HOST:PORT");
        options.szJournal = szArg;
        break;
      case 'h': return ParseOutcome::kHelp;
      case ':': return fail("option " + OffendingOption(argv) + " needs a value");
      default: return fail("unknown option " + OffendingOption(argv));
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
