#pragma once

#include <QString>

class QWidget;

namespace stratavon {

// Whether the operator lets the running run stop so that the window can
// close; szQuestion is what is asked ("Stop the run and quit?"). Not asked
// means no.
bool ConfirmStopRun(QWidget* pParent, const QString& szQuestion);

// For a close request while a stop waits for its workers, or a stop that
// has waited the I/O time-out: names the workers still waited for (slot,
// work file, the call each is inside and for how long) and, if the operator
// confirms, ends the process at once, leaving those workers' files as they
// are.
// Returns when the operator chose to wait on.
void OfferQuitWhileStopping(QWidget* pParent);

}  // namespace stratavon
