#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "console/advanced/AdvancedView.h"
#include "engine/ConsoleTable.h"
#include "platform/MessageBox.h"

namespace stratavon::test {

// An advanced console's view kept as plain state: the target list in a
// console table, the boxes, the buttons and the timers as last set, and
// every call in order, so a test can tell what a command did and what it
// left alone.
class CTableView : public IAdvancedView {
 public:
  explicit CTableView(size_t nRows = 0) : m_table(nRows) {}

  void SetTargetText(int nRow, int nColumn, const std::string& szText) override {
    m_table.SetTargetText(nRow, nColumn, szText);
  }
  void SetStatusText(const std::string& szText) override {
    m_table.SetStatusText(szText);
    Note("status " + szText);
  }
  void SetExtendedText(const std::string& szText) override {
    m_table.SetExtendedText(szText);
    Note("extended " + szText);
  }
  void SetPerformanceText(const std::string& szText) override { Set(m_szPerformance, "performance ", szText); }
  void SetIopsText(const std::string& szText) override { Set(m_szIops, "iops ", szText); }
  void SetElapsedText(const std::string& szText) override { Set(m_szElapsed, "elapsed ", szText); }
  void EnableStart(bool bEnable) override { Set(m_bStart, bEnable, "start"); }
  void EnableStop(bool bEnable) override { Set(m_bStop, bEnable, "stop"); }
  void StartTimers(bool bStats) override {
    std::lock_guard lock(m_mutex);
    m_bTimer1 = true;
    m_bTimer2 = bStats;
    m_calls.push_back(bStats ? "timers 1+2" : "timers 1");
  }
  void KillTimers() override {
    std::lock_guard lock(m_mutex);
    m_bTimer1 = m_bTimer2 = false;
    m_calls.push_back("kill timers");
  }

  CConsoleTable m_table;
  std::string m_szPerformance = "0 MB/s";
  std::string m_szIops = "0 IO/s";
  std::string m_szElapsed = "00:00:00:00";
  bool m_bStart = true;
  bool m_bStop = true;
  bool m_bTimer1 = false;
  bool m_bTimer2 = false;

  std::vector<std::string> Calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
  }

 private:
  void Note(const std::string& szCall) {
    std::lock_guard lock(m_mutex);
    m_calls.push_back(szCall);
  }
  void Set(std::string& szField, const char* szName, const std::string& szText) {
    std::lock_guard lock(m_mutex);
    szField = szText;
    m_calls.push_back(szName + szText);
  }
  void Set(bool& bField, bool bValue, const char* szName) {
    std::lock_guard lock(m_mutex);
    bField = bValue;
    m_calls.push_back(std::string(szName) + (bValue ? " on" : " off"));
  }

  mutable std::mutex m_mutex;
  std::vector<std::string> m_calls;
};

// Keeps the message boxes shown while it lives instead of printing them.
class CMessageCatcher : public IMessagePresenter {
 public:
  struct Shown {
    std::string szText;
    std::string szCaption;
    MessageIcon icon;
  };
  CMessageCatcher() { SetMessagePresenter(this); }
  ~CMessageCatcher() override { SetMessagePresenter(nullptr); }
  void Present(const std::string& szText, const std::string& szCaption, MessageIcon icon) override {
    std::lock_guard lock(m_mutex);
    m_shown.push_back({szText, szCaption, icon});
  }
  std::vector<Shown> All() const {
    std::lock_guard lock(m_mutex);
    return m_shown;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<Shown> m_shown;
};

}  // namespace stratavon::test
