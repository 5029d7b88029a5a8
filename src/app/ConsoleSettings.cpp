#include "app/ConsoleSettings.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QSettings>
#include <QStringList>

#include "gui/advanced/AdvancedTexts.h"
#include "gui/advanced/CorvaneAdvancedDlg.h"
#include "gui/simple/CorvaneDlg.h"
#include "engine/Pattern.h"

namespace stratavon {
namespace {

QSettings Store() { return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Stratavon"), QStringLiteral("stratavon")); }

template <class T>
T* Control(const QWidget& dlg, int nId) {
  return dlg.findChild<T*>(QString::number(nId));
}

void Trigger(const QWidget& dlg, int nId) {
  if (auto* pAction = Control<QAction>(dlg, nId)) pAction->trigger();
}

// Selects a remembered list index that the list has; anything else is ignored.
void SelectIndex(QComboBox* pCombo, const QVariant& value) {
  bool bOk = false;
  const int nIndex = value.toInt(&bOk);
  if (pCombo != nullptr && bOk && nIndex >= 0 && nIndex < pCombo->count()) pCombo->setCurrentIndex(nIndex);
}

// Clicks a box whose state differs, so its handler runs as for a user.
void SetChecked(QCheckBox* pBox, const QVariant& value) {
  if (pBox != nullptr && value.isValid() && pBox->isChecked() != value.toBool()) pBox->click();
}

}  // namespace

QString ConsoleSettingsPath() { return Store().fileName(); }

void SaveSimpleConsole(const CCorvaneDlg& dlg) {
  QSettings settings = Store();
  settings.beginGroup(QStringLiteral("simple"));
  QStringList targets;
  if (dlg.Targets() != nullptr) {
    for (const std::string& szRoot : *dlg.Targets()) targets << QString::fromStdString(szRoot);
  }
  settings.setValue(QStringLiteral("targets"), targets);
  settings.setValue(QStringLiteral("function"), dlg.IoFunction());
  if (auto* pThreads = Control<QComboBox>(dlg, IDC_THREADS)) settings.setValue(QStringLiteral("threadIndex"), pThreads->currentIndex());
  settings.setValue(QStringLiteral("patternKind"), static_cast<int>(g_nPatternKind));
  if (auto* pPattern = Control<QLineEdit>(dlg, IDC_PATTERN)) settings.setValue(QStringLiteral("patternText"), pPattern->text());
  settings.setValue(QStringLiteral("geometry"), dlg.saveGeometry());
  settings.endGroup();
}

void RestoreSimpleConsole(CCorvaneDlg& dlg) {
  QSettings settings = Store();
  settings.beginGroup(QStringLiteral("simple"));
  if (settings.childKeys().isEmpty()) return;  // the first start: the console as it comes up

  const QVariant geometry = settings.value(QStringLiteral("geometry"));
  if (geometry.isValid()) dlg.restoreGeometry(geometry.toByteArray());
  static const std::pair<int, int> kFunctions[] = {{1, IDC_READ}, {2, IDC_WRITE}, {4, IDC_BOTH}};
  const int nFunction = settings.value(QStringLiteral("function")).toInt();
  for (const auto& [nCode, nId] : kFunctions) {
    if (nCode == nFunction) {
      if (auto* pButton = Control<QAbstractButton>(dlg, nId)) pButton->click();
    }
  }
  SelectIndex(Control<QComboBox>(dlg, IDC_THREADS), settings.value(QStringLiteral("threadIndex")));
  switch (settings.value(QStringLiteral("patternKind"), -1).toInt()) {
    case kPatternCrpat: Trigger(dlg, ID_PATTERN_CRPAT); break;
    case kPatternCjtpat: Trigger(dlg, ID_PATTERN_CJTPAT); break;
    case kPatternCspat: Trigger(dlg, ID_PATTERN_CSPAT); break;
    case kPatternByte: {
      Trigger(dlg, ID_PATTERN_RESET);
      const QString szText = settings.value(QStringLiteral("patternText")).toString();
      if (auto* pPattern = Control<QLineEdit>(dlg, IDC_PATTERN); pPattern != nullptr && !szText.isEmpty()) {
        pPattern->setText(szText);
      }
      break;
    }
    default: break;  // an imported data file is not remembered: it is read anew each time
  }
  std::vector<std::string> roots;
  for (const QString& szRoot : settings.value(QStringLiteral("targets")).toStringList()) {
    // Only folders that are still there; each root ends in '/'.
    if (szRoot.endsWith(QLatin1Char('/')) && QFileInfo(szRoot).isDir()) roots.push_back(szRoot.toStdString());
  }
  if (!roots.empty()) dlg.ApplyTargetChoice(roots);
  settings.endGroup();
}

void SaveAdvancedConsole(const CCorvaneAdvancedDlg& dlg) {
  QSettings settings = Store();
  settings.beginGroup(QStringLiteral("advanced"));
  const auto index = [&](const char* szKey, int nId) {
    if (auto* pCombo = Control<QComboBox>(dlg, nId)) settings.setValue(QLatin1String(szKey), pCombo->currentIndex());
  };
  const auto checked = [&](const char* szKey, int nId) {
    if (auto* pBox = Control<QCheckBox>(dlg, nId)) settings.setValue(QLatin1String(szKey), pBox->isChecked());
  };
  index("transferIndex", IDC_ADV_TRANSFER);
  index("bufferIndex", IDC_ADV_BUFFER);
  index("depthIndex", IDC_ADV_DEPTH);
  checked("errorChecking", IDC_ADV_ERROR_CHECKING);
  checked("performance", IDC_ADV_ENABLE_PERFORMANCE);
  checked("asynchronous", IDC_ADV_ASYNCHRONOUS);
  settings.setValue(QStringLiteral("geometry"), dlg.saveGeometry());
  settings.endGroup();
}

void RestoreAdvancedConsole(CCorvaneAdvancedDlg& dlg) {
  QSettings settings = Store();
  settings.beginGroup(QStringLiteral("advanced"));
  if (settings.childKeys().isEmpty()) return;
  const QVariant geometry = settings.value(QStringLiteral("geometry"));
  if (geometry.isValid()) dlg.restoreGeometry(geometry.toByteArray());
  SelectIndex(Control<QComboBox>(dlg, IDC_ADV_TRANSFER), settings.value(QStringLiteral("transferIndex")));
  SelectIndex(Control<QComboBox>(dlg, IDC_ADV_BUFFER), settings.value(QStringLiteral("bufferIndex")));
  SetChecked(Control<QCheckBox>(dlg, IDC_ADV_ERROR_CHECKING), settings.value(QStringLiteral("errorChecking")));
  SetChecked(Control<QCheckBox>(dlg, IDC_ADV_ENABLE_PERFORMANCE), settings.value(QStringLiteral("performance")));
  SetChecked(Control<QCheckBox>(dlg, IDC_ADV_ASYNCHRONOUS), settings.value(QStringLiteral("asynchronous")));
  SelectIndex(Control<QComboBox>(dlg, IDC_ADV_DEPTH), settings.value(QStringLiteral("depthIndex")));
  settings.endGroup();
}

}  // namespace stratavon
