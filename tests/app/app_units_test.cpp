// The application shell's Qt-free parts: the switches, the registration
// files and the About box's version line.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/AutomationRegistry.h"
#include "app/CommandLine.h"
#include "app/VersionInfo.h"
#include "support/TempDir.h"

namespace stratavon {
namespace {

using test::CTempDir;
using test::ReadWholeFile;

TEST(CommandLineTest, SwitchesAreTakenWithAnyPrefixAndCase) {
  for (const char* psz : {"/Regserver", "-regserver", "--REGSERVER", "/Register", "-REGISTER", "--register"}) {
    SCOPED_TRACE(psz);
    const CCommandLineInfo info = ParseCommandLine({"stratavon", psz});
    EXPECT_EQ(info.m_nShellCommand, CCommandLineInfo::AppRegister);
    EXPECT_FALSE(info.m_bRunEmbedded || info.m_bRunAutomated);
  }
  for (const char* psz : {"/Unregserver", "-UnRegServer", "--unregserver", "/Unregister", "--UNREGISTER"}) {
    SCOPED_TRACE(psz);
    EXPECT_EQ(ParseCommandLine({"stratavon", psz}).m_nShellCommand, CCommandLineInfo::AppUnregister);
  }
  for (const char* psz : {"/Embedding", "-embedding", "--EMBEDDING"}) {
    SCOPED_TRACE(psz);
    const CCommandLineInfo info = ParseCommandLine({"stratavon", psz});
    EXPECT_TRUE(info.m_bRunEmbedded);
    EXPECT_FALSE(info.m_bRunAutomated);
    EXPECT_EQ(info.m_nShellCommand, CCommandLineInfo::FileNothing);
  }
  for (const char* psz : {"/Automation", "-AUTOMATION", "--automation"}) {
    SCOPED_TRACE(psz);
    EXPECT_TRUE(ParseCommandLine({"stratavon", psz}).m_bRunAutomated);
  }
}

TEST(CommandLineTest, OtherWordsAndThePogramNameAreNoSwitches) {
  // The program's own name is never read as a switch, even when it looks like one.
  const CCommandLineInfo info =
      ParseCommandLine({"/Regserver", "Regserver", "/Regserve", "---regserver", "/embedding-x", "file.txt", ""});
  EXPECT_EQ(info.m_nShellCommand, CCommandLineInfo::FileNothing);
  EXPECT_FALSE(info.m_bRunEmbedded || info.m_bRunAutomated);
  EXPECT_EQ(ParseCommandLine({}).m_nShellCommand, CCommandLineInfo::FileNothing);
  // The last of two shell commands wins; /Embedding is kept beside one.
  const CCommandLineInfo both = ParseCommandLine({"stratavon", "/Unregserver", "/Embedding", "/Regserver"});
  EXPECT_EQ(both.m_nShellCommand, CCommandLineInfo::AppRegister);
  EXPECT_TRUE(both.m_bRunEmbedded);
}

TEST(AutomationRegistryTest, RegistrationWritesAndUnregistrationRemovesBothFiles) {
  CTempDir dir;
  const std::string szHome = dir.Path("share");
  ASSERT_TRUE(UpdateRegistryAll(true, szHome, "/opt/strata/bin/stratavon"));
  ASSERT_TRUE(RegisterTypeLib(szHome));
  EXPECT_EQ(ActivationFilePath(szHome), szHome + "/dbus-1/services/Corvane.Application.service");
  EXPECT_EQ(InterfaceFilePath(szHome), szHome + "/dbus-1/interfaces/Corvane.ICorvane.xml");
  EXPECT_EQ(ReadWholeFile(ActivationFilePath(szHome)),
            "[D-BUS Service]\nName=Corvane.Application\nExec=/opt/strata/bin/stratavon /Embedding\n");
  EXPECT_EQ(ReadWholeFile(InterfaceFilePath(szHome)), InterfaceDescription());
  // No temporary files are left beside them.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(szHome + "/dbus-1/services"), {}), 1);

  // Registering again replaces a file edited by hand.
  { std::ofstream(ActivationFilePath(szHome)) << "[D-BUS Service]\nName=Corvane.Application\nExec=/gone\n"; }
  ASSERT_TRUE(UpdateRegistryAll(true, szHome, "/usr/bin/stratavon"));
  EXPECT_NE(ReadWholeFile(ActivationFilePath(szHome)).find("Exec=/usr/bin/stratavon /Embedding\n"),
            std::string::npos);

  EXPECT_TRUE(UpdateRegistryAll(false, szHome, ""));
  EXPECT_TRUE(UnregisterTypeLib(szHome));
  EXPECT_FALSE(std::filesystem::exists(ActivationFilePath(szHome)));
  EXPECT_FALSE(std::filesystem::exists(InterfaceFilePath(szHome)));
  // Removing what is not there is no failure.
  EXPECT_TRUE(UpdateRegistryAll(false, szHome, ""));
  EXPECT_TRUE(UnregisterTypeLib(szHome));
}

TEST(AutomationRegistryTest, ProgramPathsWithBlanksOrQuotesStayOneWord) {
  EXPECT_EQ(ActivationFileText("/home/a b/stratavon"),
            "[D-BUS Service]\nName=Corvane.Application\nExec='/home/a b/stratavon' /Embedding\n");
  EXPECT_EQ(ActivationFileText("/tmp/it's/stratavon"),
            "[D-BUS Service]\nName=Corvane.Application\nExec='/tmp/it'\\''s/stratavon' /Embedding\n");
}

TEST(AutomationRegistryTest, UnwritablePlacesFailWithoutThrowing) {
  CTempDir dir;
  // A file where the dbus-1 folder should be.
  { std::ofstream(dir.Path("dbus-1")) << "x"; }
  const std::string szHome = dir.Root().substr(0, dir.Root().size() - 1);
  EXPECT_FALSE(UpdateRegistryAll(true, szHome, "/usr/bin/stratavon"));
  EXPECT_FALSE(RegisterTypeLib(szHome));
  EXPECT_FALSE(UpdateRegistryAll(true, "", "/usr/bin/stratavon"));
  EXPECT_FALSE(UpdateRegistryAll(true, dir.Path("ok"), ""));
}

TEST(AutomationRegistryTest, DataHomeFollowsXdgDataHomeElseHome) {
  const char* pszData = getenv("XDG_DATA_HOME");
  const std::string szSavedData = pszData != nullptr ? pszData : "";
  const char* pszHome = getenv("HOME");
  const std::string szSavedHome = pszHome != nullptr ? pszHome : "";

  setenv("HOME", "/home/operator", 1);
  setenv("XDG_DATA_HOME", "/srv/data", 1);
  EXPECT_EQ(UserDataHome(), "/srv/data");
  // A relative XDG_DATA_HOME is not valid and is ignored.
  setenv("XDG_DATA_HOME", "relative/data", 1);
  EXPECT_EQ(UserDataHome(), "/home/operator/.local/share");
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(UserDataHome(), "/home/operator/.local/share");
  unsetenv("HOME");
  EXPECT_EQ(UserDataHome(), "");

  if (pszHome != nullptr) setenv("HOME", szSavedHome.c_str(), 1);
  if (pszData != nullptr) setenv("XDG_DATA_HOME", szSavedData.c_str(), 1);
}

TEST(VersionInfoTest, BuildWordComesFromTheWholeFlagsValue) {
  CVersionRecord record;
  record.dwProductVersionMS = (1u << 16) | 0u;
  record.dwProductVersionLS = (0u << 16) | 8u;
  const std::pair<uint32_t, const char*> cases[] = {
      {0, "Version:  1.8   Production Build"}, {1, "Version:  1.8   Debug Build"},
      // Flags that combine with others are no longer the whole value.
      {5, "Version:  1.8   Production Build"}, {0xFFFFFFFF, "Version:  1.8   Production Build"},
  };
  for (const auto& [dwFlags, pszLine] : cases) {
    record.dwFileFlags = dwFlags;
    EXPECT_EQ(FormatVersionLine(record), pszLine) << dwFlags;
  }
}

TEST(VersionInfoTest, LineTakesTheOuterWordsOfTheProductVersion) {
  CVersionRecord record;
  record.dwProductVersionMS = (2u << 16) | 7u;   // 2.7
  record.dwProductVersionLS = (9u << 16) | 65535u;  // .9.65535
  record.dwFileVersionMS = (5u << 16) | 5u;     // never shown
  EXPECT_EQ(FormatVersionLine(record), "Version:  2.65535   Production Build");
  EXPECT_EQ(ProductTitle(), "Stratavon for Linux (" + std::to_string(sizeof(void*) * 8) + "bit)");
}

}  // namespace
}  // namespace stratavon
