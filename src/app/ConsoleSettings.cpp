#include "app/ConsoleSettings.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QSettings>
#include <QStringList>

#include "gui/advanced/CorvaneAdvancedDlg.h"
#include "gui/simple/CorvaneDlg.h"
#include "engine/Pattern.h"
#include "run/RunChoices.h"
#include "run/SizeList.h"

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

// The I/O Depth list holds kMinQueueDepth.. in order.
int DepthIndexOf(uint32_t dwDepth) {
  return dwDepth >= kMinQueueDepth && dwDepth <= kMaxQueueDepth ? static_cast<int>(dwDepth - kMinQueueDepth) : -1;
}

uint32_t DepthOfIndex(int nIndex) {
  return nIndex >= 0 && nIndex <= static_cast<int>(kMaxQueueDepth - kMinQueueDepth)
             ? kMinQueueDepth + static_cast<uint32_t>(nIndex)
             : 0;
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

// The advanced console's choices as the store keeps them: the lists' indices
// (-1 for none) and the boxes.
void SaveAdvancedConsole(const CCorvaneAdvancedDlg& dlg) {
  QSettings settings = Store();
  settings.beginGroup(QStringLiteral("advanced"));
  const RunChoices choices = dlg.ReadControls();
  settings.setValue(QStringLiteral("transferIndex"), SizeListIndexOf(choices.dwTransferSize));
  settings.setValue(QStringLiteral("bufferIndex"), SizeListIndexOf(choices.dwBufferSize));
  settings.setValue(QStringLiteral("depthIndex"), DepthIndexOf(choices.dwQueueDepth));
  settings.setValue(QStringLiteral("errorChecking"), choices.bErrorChecking);
  settings.setValue(QStringLiteral("performance"), choices.bPerformance);
  settings.setValue(QStringLiteral("asynchronous"), choices.bAsynchronous);
  settings.setValue(QStringLiteral("geometry"), dlg.saveGeometry());
  settings.endGroup();
}

void RestoreAdvancedConsole(CCorvaneAdvancedDlg& dlg) {
  QSettings settings = Store();
  settings.beginGroup(QStringLiteral("advanced"));
  if (settings.childKeys().isEmpty()) return;
  const QVariant geometry = settings.value(QStringLiteral("geometry"));
  if (geometry.isValid()) dlg.restoreGeometry(geometry.toByteArray());
  RunChoices choices = dlg.ReadControls();
  const auto index = [&](const char* szKey) {
    bool bOk = false;
    const int nIndex = settings.value(QLatin1String(szKey)).toInt(&bOk);
    return bOk ? nIndex : -1;
  };
  const auto flag = [&](const char* szKey, bool& bValue) {
    if (const QVariant value = settings.value(QLatin1String(szKey)); value.isValid()) bValue = value.toBool();
  };
  choices.dwTransferSize = SizeOfListIndexOrNone(index("transferIndex"));
  choices.dwBufferSize = SizeOfListIndexOrNone(index("bufferIndex"));
  choices.dwQueueDepth = DepthOfIndex(index("depthIndex"));
  flag("errorChecking", choices.bErrorChecking);
  flag("performance", choices.bPerformance);
  flag("asynchronous", choices.bAsynchronous);
  dlg.WriteControls(choices);
  settings.endGroup();
}

}  // namespace stratavon
