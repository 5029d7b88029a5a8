#pragma once

#include "gui/simple/CorvaneDlg.h"

namespace stratavon {

// The simple console as the program runs it: its About entry opens the
// About box and its Help button the manual.
class CCorvaneMainDlg : public CCorvaneDlg {
  Q_OBJECT
 public:
  using CCorvaneDlg::CCorvaneDlg;

  void OnHelp() override;

 protected:
  void RunAboutBox() override;
  // The advanced console with its remembered sizes, switches and place.
  void OpenAdvancedConsole(const std::string& szPatternText) override;
};

}  // namespace stratavon
