#pragma once

#include <QDialog>
#include <memory>
#include <string>
#include <vector>

#include "engine/Target.h"
#include "run/DeviceTargets.h"

class QLabel;
class QMessageBox;
class QPushButton;
class QTreeWidget;

namespace stratavon {

enum PhysicalDrivesId : int {
  IDC_DRIVE_LIST = 1010,
};

// Select > Physical Drives: the machine's whole disks with model, size and
// state. A drive that is mounted, swap, held or not to be opened by this
// user is shown greyed with the reason and cannot be marked. OK writes the
// marked drives' nodes into the console's target list.
class CPhysicalDrivesDlg : public QDialog {
  Q_OBJECT
 public:
  // pnTargets and ppTargets are the console's target count and rows.
  CPhysicalDrivesDlg(QWidget* pParent, std::vector<DriveChoice> drives, int* pnTargets,
                     std::unique_ptr<std::vector<std::string>>* ppTargets);

  QTreeWidget* List() const { return m_listDrives; }
  void OnOK();
  void accept() override { OnOK(); }

 private:
  QTreeWidget* m_listDrives = nullptr;
  QPushButton* m_btnOk = nullptr;
  QPushButton* m_btnCancel = nullptr;
  std::vector<DriveChoice> m_drives;
  int* m_pnTargets;
  std::unique_ptr<std::vector<std::string>>* m_ppTargets;
};

// Why no drive can be offered to this user, in plain words, or empty: the
// drives are all there to be opened, or this user is root.
std::string DrivePermissionWords(const std::vector<DriveChoice>& drives);

// The question before a run writes a device: the device, its model and
// size and what is on it, with Destroy and Cancel (Cancel the default).
// The caller shows it (exec) and owns it.
std::unique_ptr<QMessageBox> MakeDestroyQuestion(QWidget* pParent, const Target& target);

}  // namespace stratavon
