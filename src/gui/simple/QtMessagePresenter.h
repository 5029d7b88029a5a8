#pragma once

#include <QObject>
#include <QString>

#include "platform/MessageBox.h"

namespace stratavon {

// Shows the process's message boxes as Qt message boxes on the GUI thread.
// A call from the GUI thread shows the box at once; a call from any other
// thread (a worker's start-up failure) is carried to the GUI thread and
// blocks only its caller until the operator has closed the box. The GUI
// thread must therefore keep serving its events while it waits for
// workers, which every console wait does. Create it on the GUI thread.
class CQtMessagePresenter : public QObject, public IMessagePresenter {
  Q_OBJECT
 public:
  explicit CQtMessagePresenter(QObject* pParent = nullptr);
  ~CQtMessagePresenter() override;

  void Present(const std::string& szText, const std::string& szCaption, MessageIcon icon) override;

 private:
  void ShowBox(const QString& szText, const QString& szCaption, MessageIcon icon);
};

// The caption of the application's own boxes: its display name.
std::string ApplicationCaption();

}  // namespace stratavon
