#pragma once

#include <QObject>

#include "engine/WorkerConsole.h"

namespace stratavon {

// The console interface for workers of a Qt console: every call is run on
// the GUI thread against the console's own implementation, and the calling
// worker waits until it has been done, so a worker's word is on screen
// before its next step. A console that waits for its workers must keep
// serving its events while it waits, or both sides wait for each other.
// Create it on the GUI thread; pTarget must outlive it.
class CQtWorkerConsole : public QObject, public IWorkerConsole {
  Q_OBJECT
 public:
  explicit CQtWorkerConsole(IWorkerConsole* pTarget, QObject* pParent = nullptr);

  void SetTargetText(int nRow, int nColumn, const std::string& szText) override;
  void SetStatusText(const std::string& szText) override;
  void SetExtendedText(const std::string& szText) override;

 private:
  template <class Fn>
  void Forward(Fn fn);

  IWorkerConsole* m_pTarget;
};

}  // namespace stratavon
