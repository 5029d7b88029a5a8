#pragma once

#include <gtest/gtest.h>

#include <string>

// The suites mount the installed program's fault-injecting file system
// through the same helper that `stratavon-cli selftest` uses; ctest points
// STRATAVON_TOOLS_DIR at the build tree's stratavon-faultfs.
#include "faultfs/FaultFsMount.h"

namespace stratavon::test {

// A fixture whose tests run on a fresh mount of the fault file system, and
// skip, saying why, where the machine cannot mount one. The rules go before
// the base's tear-down stops the workers, so none is held by a stall.
template <class Base>
class FaultFsFixture : public Base {
 protected:
  void SetUp() override {
    Base::SetUp();
    std::string szWhy;
    if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
    ASSERT_TRUE(m_fs.Mount()) << m_fs.LastError();
  }
  void TearDown() override {
    m_fs.ClearRules();
    Base::TearDown();
    m_fs.Unmount();
  }
  CFaultFs m_fs;
};

}  // namespace stratavon::test
