#pragma once

#include <QString>

namespace stratavon {

class CCorvaneAdvancedDlg;
class CCorvaneDlg;

// What the consoles remember from one start to the next: the targets
// (folders added by hand too), the I/O function, thread count and
// pattern of the simple console, the sizes and switches of the advanced
// one, and where both windows were. Kept with QSettings in the user's
// configuration directory ($XDG_CONFIG_HOME/Stratavon/stratavon.conf). A
// start without the file leaves the consoles as they come up; a remembered
// target that no longer exists is dropped.
QString ConsoleSettingsPath();

void RestoreSimpleConsole(CCorvaneDlg& dlg);
void SaveSimpleConsole(const CCorvaneDlg& dlg);
void RestoreAdvancedConsole(CCorvaneAdvancedDlg& dlg);
void SaveAdvancedConsole(const CCorvaneAdvancedDlg& dlg);

}  // namespace stratavon
