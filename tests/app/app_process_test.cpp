// The desktop program as a process: its switches, the registration an
// ordinary start refreshes, and its automation server on a private session
// bus that each test starts for itself.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <cctype>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/AutomationRegistry.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/Wait.h"


namespace stratavon {
namespace {

using namespace std::chrono_literals;
using test::CTempDir;
using test::ReadWholeFile;




using CChild = test::CChildProcess;

// Every process test has its own data, state and runtime folders.
class AppProcessTest : public ::testing::Test {
 protected:
  std::map<std::string, std::string> Env() const {
    return {{"XDG_DATA_HOME", m_dataHome.Path("data")},
            {"XDG_CONFIG_HOME", m_dataHome.Path("config")},
            {"STRATAVON_HOME", m_dataHome.Path("state")},
            {"QT_QPA_PLATFORM", "offscreen"},
            {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + m_dataHome.Path("no-bus")}};
  }
  std::unique_ptr<CChild> Start(const std::vector<std::string>& switches,
                                std::map<std::string, std::string> env = {}) {
    std::vector<std::string> argv{STRATAVON_APP_PATH};
    argv.insert(argv.end(), switches.begin(), switches.end());
    std::map<std::string, std::string> merged = Env();
    for (auto& [k, v] : env) merged[k] = v;
    return std::make_unique<CChild>(argv, merged);
  }
  std::string DataHome() const { return m_dataHome.Path("data"); }
  bool Registered() const {
    return std::filesystem::exists(ActivationFilePath(DataHome())) &&
           std::filesystem::exists(InterfaceFilePath(DataHome()));
  }

  CTempDir m_dataHome;
};

// The switches' spellings and the files' text are the units' tests; here the
// process: it ends without a console (none could show) and names itself.
TEST_F(AppProcessTest, WithoutADisplayRegistrationWorksAndTheConsoleRefusesInOneLine) {
  // As over ssh or from a package script: no window system at all.
  const std::map<std::string, std::string> headless{{"QT_QPA_PLATFORM", ""}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};
  ASSERT_EQ(Start({"/Regserver"}, headless)->Wait(), 0);
  EXPECT_TRUE(Registered());
  const std::string szProgram = std::filesystem::canonical(STRATAVON_APP_PATH).string();
  EXPECT_NE(ReadWholeFile(ActivationFilePath(DataHome())).find("\nExec=" + szProgram + " /Embedding\n"),
            std::string::npos);
  ASSERT_EQ(Start({"-UNREGISTER"}, headless)->Wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(ActivationFilePath(DataHome())));
  EXPECT_FALSE(std::filesystem::exists(InterfaceFilePath(DataHome())));

  auto pRefused = Start({}, headless);
  ASSERT_EQ(pRefused->Wait(), 2);
  const std::string szOutput = pRefused->Out() + pRefused->Err();
  EXPECT_NE(szOutput.find("stratavon-cli"), std::string::npos) << szOutput;
  EXPECT_EQ(szOutput.find('\n'), szOutput.size() - 1) << szOutput;
  EXPECT_FALSE(Registered()) << "a refused start changes nothing";
}

TEST_F(AppProcessTest, PlainStartRegistersThenRunsTheConsoleUntilItIsClosed) {
  // A stale registration (a program that has moved) is replaced.
  std::filesystem::create_directories(DataHome() + "/dbus-1/services");
  {
    std::FILE* pFile = std::fopen(ActivationFilePath(DataHome()).c_str(), "w");
    ASSERT_NE(pFile, nullptr);
    std::fputs("[D-BUS Service]\nName=Corvane.Application\nExec=/old/place/stratavon /Embedding\n", pFile);
    std::fclose(pFile);
  }
  auto pChild = Start({});
  ASSERT_TRUE(test::Eventually([&] {
    return ReadWholeFile(ActivationFilePath(DataHome())).find("/old/place") == std::string::npos &&
           std::filesystem::exists(InterfaceFilePath(DataHome()));
  }));
  // The console's construction registers the event source in the state folder.
  ASSERT_TRUE(test::Eventually([&] { return std::filesystem::exists(m_dataHome.Path("state/registry")); }));
  EXPECT_TRUE(pChild->Running());
  // SIGTERM works the close box; with no client the console and the process end.
  pChild->Signal(SIGTERM);
  EXPECT_EQ(pChild->Wait(), 0);
}

TEST_F(AppProcessTest, NoSessionBusRunsWithoutAutomationSilently) {
  auto pChild = Start({"/Embedding"});
  ASSERT_TRUE(test::Eventually([&] { return std::filesystem::exists(m_dataHome.Path("state/registry")); }));
  EXPECT_TRUE(pChild->Running());
  // Started for a client, the program leaves the registration alone.
  EXPECT_FALSE(Registered());
  pChild->Signal(SIGTERM);
  EXPECT_EQ(pChild->Wait(), 0);
  // Qt's platform notes may appear; nothing about the missing bus does.
  std::string szOutput = ReadWholeFile(m_dataHome.Path("out0.txt"));
  for (char& c : szOutput) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(szOutput.find("bus"), std::string::npos) << szOutput;
}

// A private session bus with its own address; its activation finds the
// services registered in the test's data folder.
class AutomationTest : public AppProcessTest {
 protected:
  static void SetUpTestSuite() {
    if (QCoreApplication::instance() == nullptr) {
      static int argc = 1;
      static char szName[] = "app_tests";
      static char* argv[] = {szName, nullptr};
      s_pApp = new QCoreApplication(argc, argv);
    }
  }

  void SetUp() override {
    if (access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "dbus-daemon is not installed";
    m_szAddress = "unix:path=" + m_dataHome.Path("bus");
    std::map<std::string, std::string> env = Env();
    env["DBUS_SESSION_BUS_ADDRESS"] = m_szAddress;
    m_pDaemon = std::make_unique<CChild>(
        std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork", "--address=" + m_szAddress}, env);
    ASSERT_TRUE(test::Eventually([&] { return std::filesystem::exists(m_dataHome.Path("bus")) || !m_pDaemon->Running(); }));
    ASSERT_TRUE(m_pDaemon->Running()) << m_pDaemon->Err();
    m_szClient = "client" + std::to_string(s_nConnections++);
    QDBusConnection bus = QDBusConnection::connectToBus(QString::fromStdString(m_szAddress),
                                                        QString::fromStdString(m_szClient));
    ASSERT_TRUE(test::Eventually([&] { return bus.isConnected(); }, 10s)) << bus.lastError().message().toStdString();
  }
  void TearDown() override {
    if (!m_szClient.empty()) QDBusConnection::disconnectFromBus(QString::fromStdString(m_szClient));
    // A program the bus started is no child of ours: it is ended here if
    // a failed test left it running.
    if (m_nActivatedPid > 0) kill(m_nActivatedPid, SIGKILL);
    m_pDaemon.reset();
  }

  std::map<std::string, std::string> BusEnv() const { return {{"DBUS_SESSION_BUS_ADDRESS", m_szAddress}}; }
  QDBusConnection Client() const { return QDBusConnection(QString::fromStdString(m_szClient)); }
  bool NameOwned(const QDBusConnection& bus) const {
    return bus.interface()->isServiceRegistered(QString::fromLatin1(kAutomationProgId)).value();
  }
  QDBusReply<QDBusObjectPath> CreateInstance(const QDBusConnection& bus) {
    QDBusInterface factory(QString::fromLatin1(kAutomationProgId), QString::fromLatin1(kClassFactoryPath),
                           QString::fromLatin1(kClassFactoryInterface), bus);
    return factory.call(QStringLiteral("CreateInstance"));
  }
  QDBusMessage Release(const QDBusConnection& bus, const QString& szPath) {
    QDBusInterface instance(QString::fromLatin1(kAutomationProgId), szPath, QString::fromLatin1(kUnknownInterface),
                            bus);
    return instance.call(QStringLiteral("Release"));
  }
  // Whether the program has served a SIGTERM sent to it: the signal has
  // reached its handler, and the GUI thread, woken by it, has answered
  // what came after it.
  bool ServedTerminate(pid_t nPid, const QDBusConnection& bus) {
    const bool bTaken = test::Eventually([&] {
      const std::string szStatus = ReadWholeFile("/proc/" + std::to_string(nPid) + "/status");
      const size_t nAt = szStatus.find("ShdPnd:");
      return nAt == std::string::npos || (std::stoull(szStatus.substr(nAt + 7), nullptr, 16) & (1u << (SIGTERM - 1))) == 0;
    });
    return bTaken && ServedAll(bus);
  }
  // Whether the GUI thread has served everything sent before: it has
  // answered two calls since (the bus library answers a Ping by itself; an
  // object's description is the object's thread's to give).
  bool ServedAll(const QDBusConnection& bus) {
    QDBusInterface factory(QString::fromLatin1(kAutomationProgId), QString::fromLatin1(kClassFactoryPath),
                           QStringLiteral("org.freedesktop.DBus.Introspectable"), bus);
    for (int nCall = 0; nCall < 2; ++nCall) {
      if (factory.call(QStringLiteral("Introspect")).type() != QDBusMessage::ReplyMessage) return false;
    }
    return true;
  }
  // True when the process is still there once it has served a SIGTERM.
  bool AliveAfterTerminate(CChild& child, const QDBusConnection& bus) {
    child.Signal(SIGTERM);
    return ServedTerminate(child.Pid(), bus) && child.Running();
  }

  static inline QCoreApplication* s_pApp = nullptr;
  static inline int s_nConnections = 0;
  std::string m_szAddress;
  std::string m_szClient;
  std::unique_ptr<CChild> m_pDaemon;
  pid_t m_nActivatedPid = -1;
};

TEST_F(AutomationTest, EmbeddedStartServesTheNameAndAnInstanceOutlivesTheConsole) {
  QDBusConnection bus = Client();
  auto pChild = Start({"/Embedding"}, BusEnv());
  ASSERT_TRUE(test::Eventually([&] { return NameOwned(bus) || !pChild->Running(); }));
  ASSERT_TRUE(pChild->Running());

  const QDBusReply<QDBusObjectPath> instance = CreateInstance(bus);
  ASSERT_TRUE(instance.isValid()) << instance.error().message().toStdString();
  const QString szPath = instance.value().path();
  EXPECT_TRUE(szPath.startsWith(QString::fromLatin1(kInstancePathPrefix)));
  QDBusInterface introspect(QString::fromLatin1(kAutomationProgId), szPath,
                            QStringLiteral("org.freedesktop.DBus.Introspectable"), bus);
  const QDBusReply<QString> xml = introspect.call(QStringLiteral("Introspect"));
  ASSERT_TRUE(xml.isValid());
  EXPECT_TRUE(xml.value().contains(QStringLiteral("<interface name=\"Corvane.ICorvane\"")))
      << xml.value().toStdString();
  EXPECT_TRUE(xml.value().contains(QStringLiteral("<method name=\"Release\"")));

  // The close box only hides the console while the client holds on.
  EXPECT_TRUE(AliveAfterTerminate(*pChild, bus));
  EXPECT_TRUE(NameOwned(bus));

  // Someone else may not release the client's object.
  const std::string szIntruder = m_szClient + "-intruder";
  {
    QDBusConnection intruder = QDBusConnection::connectToBus(QString::fromStdString(m_szAddress),
                                                             QString::fromStdString(szIntruder));
    EXPECT_EQ(Release(intruder, szPath).type(), QDBusMessage::ErrorMessage);
  }
  QDBusConnection::disconnectFromBus(QString::fromStdString(szIntruder));
  EXPECT_TRUE(ServedAll(bus) && pChild->Running());

  EXPECT_EQ(Release(bus, szPath).type(), QDBusMessage::ReplyMessage);
  EXPECT_EQ(pChild->Wait(), 0);
  EXPECT_FALSE(NameOwned(bus));
}

TEST_F(AutomationTest, ClientLeavingTheBusLetsGoOfItsInstances) {
  QDBusConnection bus = Client();
  auto pChild = Start({"-automation"}, BusEnv());
  ASSERT_TRUE(test::Eventually([&] { return NameOwned(bus) || !pChild->Running(); }));

  // A client holding two objects; one released, one left behind.
  const std::string szHolder = m_szClient + "-holder";
  {
    QDBusConnection holder = QDBusConnection::connectToBus(QString::fromStdString(m_szAddress),
                                                           QString::fromStdString(szHolder));
    const QDBusReply<QDBusObjectPath> first = CreateInstance(holder);
    const QDBusReply<QDBusObjectPath> second = CreateInstance(holder);
    ASSERT_TRUE(first.isValid() && second.isValid());
    EXPECT_NE(first.value().path(), second.value().path());
    EXPECT_EQ(Release(holder, first.value().path()).type(), QDBusMessage::ReplyMessage);
  }
  EXPECT_TRUE(AliveAfterTerminate(*pChild, bus));

  QDBusConnection::disconnectFromBus(QString::fromStdString(szHolder));
  EXPECT_EQ(pChild->Wait(), 0);
}

TEST_F(AutomationTest, TheBusStartsTheRegisteredProgramForAClient) {
  ASSERT_EQ(Start({"/Regserver"}, BusEnv())->Wait(), 0);
  QDBusConnection bus = Client();
  ASSERT_FALSE(NameOwned(bus));

  // The call starts "stratavon /Embedding" through the activation file.
  const QDBusReply<QDBusObjectPath> instance = CreateInstance(bus);
  ASSERT_TRUE(instance.isValid()) << instance.error().message().toStdString();
  ASSERT_TRUE(NameOwned(bus));
  const QDBusReply<uint> pid = bus.interface()->servicePid(QString::fromLatin1(kAutomationProgId));
  ASSERT_TRUE(pid.isValid());
  m_nActivatedPid = static_cast<pid_t>(pid.value());
  const std::string szCommand = ReadWholeFile("/proc/" + std::to_string(m_nActivatedPid) + "/cmdline");
  EXPECT_NE(szCommand.find(std::string("stratavon") + '\0' + "/Embedding"), std::string::npos);

  // Closed, then released: the process ends.
  kill(m_nActivatedPid, SIGTERM);
  EXPECT_TRUE(ServedTerminate(m_nActivatedPid, bus));
  EXPECT_TRUE(NameOwned(bus));
  EXPECT_EQ(Release(bus, instance.value().path()).type(), QDBusMessage::ReplyMessage);
  EXPECT_TRUE(test::Eventually([&] { return !NameOwned(bus); }));
  EXPECT_TRUE(test::Eventually([&] { return kill(m_nActivatedPid, 0) != 0; }));
}

}  // namespace
}  // namespace stratavon
