#include "platform/Registry.h"
#include "platform/StateDirectory.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

namespace stratavon {
namespace {

constexpr const char* kSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Halvex Stratavon Utility";

CRegistry::Value Dword(uint32_t dw) {
  CRegistry::Value value;
  value.type = CRegistry::ValueType::kDword;
  value.dw = dw;
  return value;
}

CRegistry::Value Text(std::string sz, CRegistry::ValueType type = CRegistry::ValueType::kString) {
  CRegistry::Value value;
  value.type = type;
  value.text = std::move(sz);
  return value;
}

class RegistryTest : public ::testing::Test {
 protected:
  test::CStateHome m_home;
};

TEST_F(RegistryTest, KeysAndValuesLiveInTheStateDirectory) {
  CRegistry registry;
  EXPECT_EQ(registry.Path(), m_home.Dir() + "state/registry");
  EXPECT_FALSE(registry.KeyExists(kSourceKey));

  ASSERT_TRUE(registry.CreateKey(kSourceKey));
  EXPECT_TRUE(registry.KeyExists(kSourceKey));
  EXPECT_TRUE(registry.KeyExists("system\\currentcontrolset")) << "parents exist with their subkeys";
  EXPECT_FALSE(registry.KeyExists("SYSTEM\\CurrentControl"));

  const std::string szMessageFile = "%SystemRoot%\\System32\\StratavonEventlog.dll";
  ASSERT_TRUE(registry.SetValue(kSourceKey, "EventMessageFile", Text(szMessageFile, CRegistry::ValueType::kExpandString)));
  ASSERT_TRUE(registry.SetValue(kSourceKey, "TypesSupported", Dword(7)));
  ASSERT_TRUE(registry.SetValue(kSourceKey, "typessupported", Dword(0xFFFFFFFF))) << "names ignore case too";

  // One header, one line per value; a second write to a name replaces its line.
  EXPECT_EQ(test::ReadWholeFile(registry.Path()), "[" + std::string(kSourceKey) +
                                                      "]\nEventMessageFile=expand_sz:" + szMessageFile +
                                                      "\ntypessupported=dword:4294967295\n");
  // A second object sees what the first wrote, the key in any case.
  EXPECT_TRUE(CRegistry().KeyExists(
      "SYSTEM\\CURRENTCONTROLSET\\SERVICES\\EVENTLOG\\APPLICATION\\HALVEX STRATAVON UTILITY"));
}

// Sets an environment variable for one scope and puts the old value back.
class CScopedEnv {
 public:
  CScopedEnv(const char* szName, const char* szValue) : m_szName(szName) {
    if (const char* szOld = getenv(szName)) m_szOld = szOld;
    Put(szValue);
  }
  ~CScopedEnv() { Put(m_szOld ? m_szOld->c_str() : nullptr); }

 private:
  void Put(const char* szValue) {
    if (szValue != nullptr) {
      setenv(m_szName, szValue, 1);
    } else {
      unsetenv(m_szName);
    }
  }

  const char* m_szName;
  std::optional<std::string> m_szOld;
};

TEST_F(RegistryTest, StateDirectoryFollowsTheEnvironment) {
  EXPECT_EQ(StateDirectory(), m_home.Dir() + "state");
  {
    CScopedEnv home("STRATAVON_HOME", "/srv/records//");
    EXPECT_EQ(StateDirectory(), "/srv/records");
  }
  CScopedEnv noHome("STRATAVON_HOME", nullptr);
  CScopedEnv userHome("HOME", "/home/op/");
  {
    CScopedEnv state("XDG_STATE_HOME", "/var/state/");
    EXPECT_EQ(StateDirectory(), "/var/state/stratavon");
  }
  CScopedEnv relative("XDG_STATE_HOME", "relative/state");
  EXPECT_EQ(StateDirectory(), "/home/op/.local/state/stratavon") << "a relative XDG_STATE_HOME is ignored";
}

TEST_F(RegistryTest, HandEditedFileKeepsWhatTheStoreDoesNotKnow) {
  const std::string szPath = m_home.Dir() + "registry";
  std::ofstream(szPath, std::ios::binary) << "; written by hand\n"
                           "stray line before any key\n"
                           "[Software\\Odd]Name]\n"
                           "Equation=sz:a=b=c ]\n"
                           "  Spaced =  dword:0x10  \r\n"
                           "Bare=plain text\n"
                           "Broken=dword:12abc\n"
                           "TooBig=dword:4294967296\n"
                           "this line means nothing\n"
                           "[unterminated header\n"
                           "\n"
                           "[Other]\n"
                           "Kept=sz:yes\n";
  CRegistry registry(szPath);
  EXPECT_TRUE(registry.KeyExists("software\\odd]name"));
  EXPECT_TRUE(registry.KeyExists("other"));
  ASSERT_TRUE(registry.SetValue("Other", "Added", Text("x]=y")));
  ASSERT_TRUE(registry.SetValue("New", "Fresh", Dword(1)));
  const std::string szText = test::ReadWholeFile(szPath);
  for (const char* szLine : {"; written by hand\n", "stray line before any key\n", "this line means nothing\n",
                             "[unterminated header\n", "Broken=dword:12abc\n", "  Spaced =  dword:0x10  \r\n"}) {
    EXPECT_NE(szText.find(szLine), std::string::npos) << szLine;
  }
  EXPECT_NE(szText.find("[Other]\nKept=sz:yes\nAdded=sz:x]=y\n"), std::string::npos) << szText;
  EXPECT_NE(szText.find("[New]\nFresh=dword:1\n"), std::string::npos) << szText;
}

TEST_F(RegistryTest, RefusesWhatCannotBeStoredAndChangesNothing) {
  CRegistry registry(m_home.Dir() + "registry");
  ASSERT_TRUE(registry.SetValue("Key", "Name", Text("value")));
  const std::string szBefore = test::ReadWholeFile(registry.Path());
  EXPECT_FALSE(registry.SetValue("Key", "Name", Text("two\nlines")));
  EXPECT_FALSE(registry.SetValue("Key", "a=b", Text("v")));
  EXPECT_FALSE(registry.SetValue("Key", "[Fake]", Text("v")));
  EXPECT_FALSE(registry.SetValue("Bad\nKey", "Name", Text("v")));
  EXPECT_FALSE(registry.CreateKey(""));
  EXPECT_FALSE(registry.CreateKey(" padded "));
  EXPECT_EQ(test::ReadWholeFile(registry.Path()), szBefore);

  // A store whose folder cannot exist fails cleanly.
  CRegistry below(registry.Path() + "/registry");
  EXPECT_FALSE(below.KeyExists("Key"));
  EXPECT_FALSE(below.CreateKey("Key"));
  EXPECT_FALSE(below.SetValue("Key", "Name", Dword(1)));
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothingAndLeaveNoTemporaryFiles) {
  constexpr int kThreads = 4;
  constexpr int kValues = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      CRegistry registry(m_home.Dir() + "registry");  // each its own object, one file
      for (int i = 0; i < kValues; ++i) {
        EXPECT_TRUE(registry.SetValue("Key" + std::to_string(t), "V" + std::to_string(i), Dword(t * 1000 + i)));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  const std::string szText = test::ReadWholeFile(m_home.Dir() + "registry");
  for (int t = 0; t < kThreads; ++t) {
    std::string szKey = "[Key" + std::to_string(t) + "]\n";
    for (int i = 0; i < kValues; ++i) szKey += "V" + std::to_string(i) + "=dword:" + std::to_string(t * 1000 + i) + "\n";
    EXPECT_NE(szText.find(szKey), std::string::npos) << "Key" << t << " lost a value:\n" << szText;
  }
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(m_home.Dir())) names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"registry"});
}

}  // namespace
}  // namespace stratavon
