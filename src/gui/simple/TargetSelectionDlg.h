#pragma once

#include <QDialog>
#include <QIcon>
#include <memory>
#include <string>
#include <vector>

#include "platform/Mounts.h"

class QPushButton;
class QTreeWidget;

namespace stratavon {

enum TargetSelectionId : int {
  IDC_TARGET_LIST = 1007,
  // Our addition to dialog 104: a folder of the operator's choice as a target.
  IDC_ADD_FOLDER = 1008,
};

// Target selection (dialog 104): the machine's mount roots with their type
// words, of which the operator marks one or more. OK writes the marked
// roots, in path order, into the console's target list.
class CTargetSelectionDlg : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kModeLogical = 1;

  // pnTargets and ppTargets are the console's target count and rows.
  CTargetSelectionDlg(QWidget* pParent, std::vector<MountRoot> roots, int nMode, int* pnTargets,
                      std::unique_ptr<std::vector<std::string>>* ppTargets);

  // Adds a folder as a target row (in path order, marked) with the type
  // word of its file system; a folder listed already is only marked.
  // False, with a message, when it is not an existing folder.
  bool AddFolder(const std::string& szPath);

  // The rows as shown: root and type word.
  std::vector<MountRoot> Rows() const;
  QTreeWidget* List() const { return m_listTargets; }

  void OnOK();
  void accept() override { OnOK(); }

 private:
  void OnInitDialog();
  void FillDriveList();
  void InsertRow(const std::string& szRoot, const std::string& szTypeWord, bool bSelect);
  void OnAddFolder();

  QTreeWidget* m_listTargets = nullptr;
  QIcon m_hIcon;
  int m_nMode;
  std::vector<MountRoot> m_roots;
  int* m_pnTargets;
  std::unique_ptr<std::vector<std::string>>* m_ppTargets;
  QPushButton* m_btnOk = nullptr;
  QPushButton* m_btnCancel = nullptr;
  QPushButton* m_btnAddFolder = nullptr;
};

}  // namespace stratavon
