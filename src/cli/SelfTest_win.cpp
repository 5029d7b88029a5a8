#include <cstdio>

#include "cli/SelfTest.h"

namespace stratavon {

int SelfTestCommand(const std::string&) {
  std::fprintf(stderr,
               "selftest: the self-test mounts stratavon-faultfs, a FUSE file system, which only Linux has\n");
  return 2;
}

}  // namespace stratavon
