#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "run/AdvancedView.h"
#include "run/ConsoleTable.h"
#include "platform/Event.h"
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

// Keeps the message boxes shown while it lives instead of printing them,
// with the thread that showed each. A closed gate keeps each box "open"
// (its caller waits, as on a real box) until the test opens the gate.
class CMessageCatcher : public IMessagePresenter {
 public:
  struct Shown {
    std::string szText;
    std::string szCaption;
    MessageIcon icon;
    std::thread::id thread;
  };
  CMessageCatcher() { SetMessagePresenter(this); }
  ~CMessageCatcher() override {
    SetMessagePresenter(nullptr);
    m_gate.Set();
  }
  void Present(const std::string& szText, const std::string& szCaption, MessageIcon icon) override {
    {
      std::lock_guard lock(m_mutex);
      m_shown.push_back({szText, szCaption, icon, std::this_thread::get_id()});
    }
    m_gate.Wait(std::chrono::seconds(60));  // a test that forgot its gate fails, it does not hang
  }
  std::vector<Shown> All() const {
    std::lock_guard lock(m_mutex);
    return m_shown;
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const Shown& shown : All()) texts.push_back(shown.szText);
    return texts;
  }
  void Clear() {
    std::lock_guard lock(m_mutex);
    m_shown.clear();
  }
  CManualResetEvent m_gate{true};

 private:
  mutable std::mutex m_mutex;
  std::vector<Shown> m_shown;
};

}  // namespace stratavon::test
