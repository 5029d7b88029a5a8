#pragma once

#include <QDialog>
#include <QString>
#include <functional>

#include "run/RunSummary.h"

class QLabel;
class QTreeWidget;

namespace stratavon {

// The results of a run, shown when it stops: per target its words, bytes,
// I/Os, average rates and first failure, the elapsed time, the verdict and
// the settings used; Copy puts the text on the clipboard, Save writes the
// JSON document the CLI prints, CSV, or the chart as PNG.
class CResultsDlg : public QDialog {
  Q_OBJECT
 public:
  // grabChart gives the chart's picture for PNG; without it PNG is not offered.
  CResultsDlg(QWidget* pParent, std::function<QPixmap()> grabChart = {});

  void SetResult(const RunResult& result);
  const RunResult& Result() const { return m_result; }

  void OnCopy();
  void OnSave();
  // Writes the file in the format its suffix names (.json, .csv, .png);
  // false with the reason in *pszReason.
  bool SaveTo(const QString& szPath, QString* pszReason = nullptr) const;

 protected:
  // The Save dialog; an empty path when cancelled.
  virtual QString ChooseSavePath();

 private:
  RunResult m_result;
  std::function<QPixmap()> m_grabChart;
  QLabel* m_stVerdict = nullptr;
  QTreeWidget* m_lcTargets = nullptr;
  QTreeWidget* m_lcSettings = nullptr;
};

}  // namespace stratavon
