#pragma once

#include <QObject>
#include <atomic>

#include "run/AdvancedView.h"

namespace stratavon {

// The advanced console's view as its workers and run control see it:
// every call runs on the GUI thread against the dialog's own view, and a
// caller on another thread waits until it has been done, so a worker's
// word is on screen before its next step. The dialog therefore keeps
// serving its events whenever it waits for its workers. Create it on the
// GUI thread; pTarget must outlive it unless it is detached first.
class CQtAdvancedView : public QObject, public IAdvancedView {
  Q_OBJECT
 public:
  explicit CQtAdvancedView(IAdvancedView* pTarget, QObject* pParent = nullptr);

  void SetTargetText(int nRow, int nColumn, const std::string& szText) override;
  void SetStatusText(const std::string& szText) override;
  void SetExtendedText(const std::string& szText) override;
  void SetPerformanceText(const std::string& szText) override;
  void SetIopsText(const std::string& szText) override;
  void SetElapsedText(const std::string& szText) override;
  void EnableStart(bool bEnable) override;
  void EnableStop(bool bEnable) override;
  void StartTimers(bool bStats) override;
  void KillTimers() override;
  void Repaint() override;
  void BeginRun() override;

  // For a dialog that goes while workers may still call: from now on every
  // call is dropped, and a call already on its way to the GUI thread does
  // nothing when it arrives. GUI thread only.
  void Detach();
  // Runs the calls waiting for the GUI thread, and nothing else, so that
  // their callers go on without an event loop (after Detach they do
  // nothing). GUI thread only.
  void RunPendingCalls();

 private:
  template <class Fn>
  void Forward(Fn fn);

  std::atomic<IAdvancedView*> m_pTarget;
};

}  // namespace stratavon
