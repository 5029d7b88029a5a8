// The application shell in-process: the About box, the manual behind Help,
// the start-up's console and the hold an automation object keeps on it.

#include <stdlib.h>

#include <QAction>
#include <QDBusConnection>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "app/AboutDlg.h"
#include "app/AutoProxy.h"
#include "app/AutomationRegistry.h"
#include "app/CorvaneApp.h"
#include "app/MainDlg.h"
#include "app/ManualDlg.h"
#include "app/VersionInfo.h"
#include "GuiTestSupport.h"

namespace stratavon::test {
namespace {

// The application without any bus, with its registration in a temporary folder.
class CTestApp : public CCorvaneApp {
 public:
  explicit CTestApp(std::string szDataHome)
      : CCorvaneApp(QDBusConnection(QStringLiteral("stratavon-no-bus"))), m_szDataHome(std::move(szDataHome)) {}

 protected:
  std::string DataHome() const override { return m_szDataHome; }
  std::string ProgramPath() const override { return "/usr/bin/stratavon"; }

 private:
  std::string m_szDataHome;
};

class AppShellTest : public GuiTest {
 protected:
  // Runs fn on the dialog in front once the modal loop is up.
  template <class Fn>
  void WhenModal(Fn fn) {
    QTimer::singleShot(0, [fn] {
      ProcessEventsUntil([] { return QApplication::activeModalWidget() != nullptr; });
      fn(QApplication::activeModalWidget());
    });
  }
  CTempDir m_data;
};

TEST_F(AppShellTest, AboutBoxShowsProductVersionAndCopyright) {
  CAboutDlg dlg;
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  SaveScreenshot(dlg, "about_box");
  // The texts are the version record's (its own tests); here: shown, not cut.
  EXPECT_EQ(dlg.VersionText().toStdString(), FormatVersionLine(*OwnVersionRecord()));
  EXPECT_FALSE(dlg.findChild<QLabel*>("icon128")->pixmap().isNull());
  EXPECT_FALSE(dlg.windowIcon().isNull());
  // Every line fits its box: nothing is cut off.
  for (const char* pszEdit : {"1005", "1006"}) {
    const QLineEdit* pEdit = dlg.findChild<QLineEdit*>(pszEdit);
    EXPECT_LE(pEdit->fontMetrics().horizontalAdvance(pEdit->text()), pEdit->width()) << pszEdit;
  }
  for (const QLabel* pLabel : dlg.findChildren<QLabel*>()) {
    if (pLabel->text().isEmpty()) continue;
    EXPECT_LE(pLabel->sizeHint().width(), pLabel->width()) << pLabel->text().toStdString();
    EXPECT_LE(pLabel->geometry().right(), dlg.width());
  }
  QTest::mouseClick(dlg.findChild<QPushButton*>("1"), Qt::LeftButton);
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
}

TEST_F(AppShellTest, HelpOpensTheManualOnceBesideTheConsole) {
  CCorvaneMainDlg dlg;
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  QTest::mouseClick(dlg.findChild<QPushButton*>(QString::number(ID_HELP)), Qt::LeftButton);
  auto manuals = dlg.findChildren<CManualDlg*>();
  ASSERT_EQ(manuals.size(), 1);
  CManualDlg* pManual = manuals.front();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(pManual));
  EXPECT_FALSE(pManual->isModal());  // the console keeps working
  SaveScreenshot(*pManual, "manual");
  const QString szText = pManual->PlainText();
  for (const char* pszSection : {"STRATAVON(1)", "SYNOPSIS", "THE DESKTOP PROGRAM", "THE COMMAND LINE", "TARGETS",
                                 "PATTERNS", "WORK FILES", "EVENT LOG", "AUTOMATION", "EXIT STATUS"}) {
    EXPECT_TRUE(szText.contains(QString::fromLatin1(pszSection))) << pszSection;
  }
  EXPECT_TRUE(szText.contains("stratavon-cli events --json"));
  EXPECT_TRUE(szText.contains("READ/KORVAslot.DAT"));
  // No roff request leaks into the text.
  EXPECT_FALSE(szText.contains(QRegularExpression("^\\.[A-Za-z]", QRegularExpression::MultilineOption)));
  EXPECT_FALSE(szText.contains("\\f"));

  pManual->close();
  QTest::mouseClick(dlg.findChild<QPushButton*>(QString::number(ID_HELP)), Qt::LeftButton);
  EXPECT_EQ(dlg.findChildren<CManualDlg*>().size(), 1);
  EXPECT_TRUE(pManual->isVisible());
}

TEST_F(AppShellTest, ManualMarkupBecomesHtml) {
  const std::string szHtml = ManPageToHtml(
      ".TH TOOL 8\n"
      ".\\\" a comment\n"
      ".SH NAME\n"
      "tool \\- does \\fBbold\\fR and \\fIitalic\\fP <things> & more\n"
      ".TP\n"
      ".B \\-x\n"
      "the x option\n"
      ".PP\n"
      ".BR one (1),\n"
      ".zz unknown request\n"
      ".nf\n"
      "a  b\n"
      "\n"
      "c \\e d\n"
      ".fi\n"
      ".RS\n"
      ".IP \\(bu\n"
      "item \\fBunclosed\n"
      ".RE\n");
  EXPECT_NE(szHtml.find("<title>TOOL(8)</title>"), std::string::npos);
  EXPECT_NE(szHtml.find("<h2>NAME</h2>"), std::string::npos);
  EXPECT_NE(szHtml.find("<p>tool - does <b>bold</b> and <i>italic</i> &lt;things&gt; &amp; more\n"), std::string::npos);
  EXPECT_NE(szHtml.find("<dl><dt><b>-x</b></dt><dd>the x option\n</dd></dl>"), std::string::npos);
  EXPECT_NE(szHtml.find("<b>one</b>(1),"), std::string::npos);
  EXPECT_EQ(szHtml.find("unknown"), std::string::npos);
  EXPECT_EQ(szHtml.find("comment"), std::string::npos);
  EXPECT_NE(szHtml.find("<pre>a  b\n\nc \\ d\n</pre>"), std::string::npos);
  EXPECT_NE(szHtml.find("<div style=\"margin-left: 3em\">\n<dl><dt>&bull;</dt><dd>item <b>unclosed</b>\n</dd></dl>\n</div>"),
            std::string::npos);
}

TEST_F(AppShellTest, PlainStartRegistersThenShowsTheConsole) {
  CTestApp app(m_data.Path("share"));
  bool bRegisteredFirst = false;
  bool bShownConsole = false;
  WhenModal([&](QWidget* pTop) {
    auto* pConsole = qobject_cast<CCorvaneDlg*>(pTop);
    if (pConsole == nullptr) return;
    bShownConsole = pConsole->isVisible() && app.MainDialog() == pConsole;
    bRegisteredFirst = std::filesystem::exists(ActivationFilePath(m_data.Path("share"))) &&
                       std::filesystem::exists(InterfaceFilePath(m_data.Path("share")));
    bShownConsole = bShownConsole && QTest::qWaitForWindowExposed(pConsole);
    SaveScreenshot(*pConsole, "main_window");
    pConsole->close();
  });
  EXPECT_EQ(app.InitInstance({"stratavon"}), 0);
  EXPECT_TRUE(bShownConsole);
  EXPECT_TRUE(bRegisteredFirst);
  EXPECT_EQ(app.MainDialog(), nullptr);  // the console is gone with its loop
}

TEST_F(AppShellTest, EmbeddedStartWithoutABusRunsTheConsoleSilently) {
  CTestApp app(m_data.Path("share"));
  bool bConsole = false;
  WhenModal([&](QWidget* pTop) {
    bConsole = qobject_cast<CCorvaneDlg*>(pTop) != nullptr;
    pTop->close();
  });
  EXPECT_EQ(app.InitInstance({"stratavon", "/Embedding"}), 0);
  EXPECT_TRUE(bConsole);
  EXPECT_EQ(app.Factory(), nullptr);
  EXPECT_TRUE(m_presenter.All().empty());
  // Started for a client, it does not touch the registration.
  EXPECT_FALSE(std::filesystem::exists(ActivationFilePath(m_data.Path("share"))));
}

TEST_F(AppShellTest, ProxiesLockTheAppAndHandTheConsoleOn) {
  CTestApp app(m_data.Path("share"));
  CCorvaneMainDlg dlg;
  app.SetMainDialog(&dlg);
  auto pFirst = std::make_unique<CCorvaneDlgAutoProxy>(app);
  EXPECT_EQ(app.LockCount(), 1);
  EXPECT_EQ(pFirst->Dialog(), &dlg);
  EXPECT_EQ(dlg.AutomationProxy(), pFirst.get());
  auto pSecond = std::make_unique<CCorvaneDlgAutoProxy>(app);
  EXPECT_EQ(app.LockCount(), 2);
  EXPECT_EQ(dlg.AutomationProxy(), pSecond.get());
  // The first to go leaves the console with the one still held.
  pSecond.reset();
  EXPECT_EQ(app.LockCount(), 1);
  EXPECT_EQ(dlg.AutomationProxy(), pFirst.get());
  pFirst.reset();
  EXPECT_EQ(app.LockCount(), 0);
  EXPECT_EQ(dlg.AutomationProxy(), nullptr);
  // Unlocking more than was locked changes nothing.
  app.UnlockApp();
  EXPECT_EQ(app.LockCount(), 0);
}

TEST_F(AppShellTest, ProxyWithoutAConsoleStillHoldsAndSurvivesTheConsole) {
  CTestApp app(m_data.Path("share"));
  auto pProxy = std::make_unique<CCorvaneDlgAutoProxy>(app);
  EXPECT_EQ(pProxy->Dialog(), nullptr);
  EXPECT_EQ(app.LockCount(), 1);
  {
    auto pDlg = std::make_unique<CCorvaneMainDlg>();
    app.SetMainDialog(pDlg.get());
    auto pOther = std::make_unique<CCorvaneDlgAutoProxy>(app);
    EXPECT_EQ(pOther->Dialog(), pDlg.get());
    pDlg.reset();  // the console going first clears the proxy's pointer
    EXPECT_EQ(pOther->Dialog(), nullptr);
  }
  EXPECT_EQ(app.LockCount(), 1);
}

TEST_F(AppShellTest, ClientHoldsTheProcessAfterTheConsoleIsClosedUntilReleased) {
  CTestApp app(m_data.Path("share"));
  std::unique_ptr<CCorvaneDlgAutoProxy> pProxy;
  bool bHiddenButHeld = false;
  bool bVisibleKept = false;
  WhenModal([&](QWidget* pTop) {
    auto* pConsole = qobject_cast<CCorvaneDlg*>(pTop);
    ASSERT_NE(pConsole, nullptr);
    // Released while the console is in front: the console stays.
    pProxy = std::make_unique<CCorvaneDlgAutoProxy>(app);
    pProxy.reset();
    QApplication::processEvents();
    bVisibleKept = pConsole->isVisible();

    pProxy = std::make_unique<CCorvaneDlgAutoProxy>(app);
    pConsole->close();
    // Escape too only hides it.
    QTest::keyClick(pConsole, Qt::Key_Escape);
    QApplication::processEvents();
    bHiddenButHeld = !pConsole->isVisible() && app.MainDialog() == pConsole && app.LockCount() == 1;
    QTimer::singleShot(0, [&] { pProxy.reset(); });
  });
  EXPECT_EQ(app.InitInstance({"stratavon", "/Automation"}), 0);
  EXPECT_TRUE(bVisibleKept);
  EXPECT_TRUE(bHiddenButHeld);
  EXPECT_EQ(pProxy, nullptr);
  EXPECT_EQ(app.LockCount(), 0);
}

}  // namespace
}  // namespace stratavon::test
