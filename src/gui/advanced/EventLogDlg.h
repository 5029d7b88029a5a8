#pragma once

#include <QDialog>
#include <QString>
#include <string>
#include <vector>

#include "run/EventRows.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QTreeWidget;

namespace stratavon {

// Options > Event Log...: the entries of the event log, sortable by time,
// source, kind, target and file, with the selected entry's message text
// and its expected and found words; a filter over every column, Copy, and
// Clear after a confirmation.
class CEventLogDlg : public QDialog {
  Q_OBJECT
 public:
  CEventLogDlg(QWidget* pParent, std::string szLogPath);

  // Reads the log anew.
  void Reload();
  void OnCopy();
  void OnClear();
  void SetFilter(const QString& szText);

  int VisibleRows() const;
  size_t SkippedLines() const { return m_nSkipped; }
  QTreeWidget& List() { return *m_lcEvents; }

 protected:
  // Asks before the log is emptied; true to go ahead.
  virtual bool ConfirmClear();

 private:
  void ShowSelected();

  std::string m_szLogPath;
  std::vector<EventRow> m_rows;
  size_t m_nSkipped = 0;
  QLineEdit* m_edFilter = nullptr;
  QTreeWidget* m_lcEvents = nullptr;
  QPlainTextEdit* m_edDetail = nullptr;
  QLabel* m_stCount = nullptr;
};

}  // namespace stratavon
