#pragma once

#include <QWidget>

#include "gui/simple/DialogUnits.h"

class QDialog;
class QLineEdit;
class QMenuBar;
class QObject;

namespace stratavon {

// A read-only edit looks read-only: the window's ground instead of the
// ground of a field to type in.
void ShowReadOnly(QLineEdit* pEdit, bool bReadOnly);

// Gives a control or menu command its resource id as object name and as
// the "dialogId" property, so the dialogs' controls are found by the ids
// of their templates.
void TagControl(QObject* pObject, int nId);

// At least as large as the style draws the widget, so that no text is
// clipped by a template box made for another font.
void GrowToHint(QWidget* pWidget);

// The frame of a console laid out from its dialog template: a fixed-size
// dialog with a menu bar above a client area of the template's size,
// measured in the dialog's own font.
class CDialogTemplate {
 public:
  CDialogTemplate(QDialog* pDialog, const char* szTitle, int cx, int cy);

  // The window may grow beyond the template (never shrink below it); the
  // dialog moves and stretches its controls as the client area grows.
  void AllowGrowth(QDialog* pDialog) const;

  QMenuBar* MenuBar() const { return m_pMenuBar; }
  QWidget* Client() const { return m_pClient; }
  // Puts a control at its template position; nId 0 leaves it untagged.
  void Place(QWidget* pWidget, int nId, int x, int y, int cx, int cy) const;

 private:
  CDialogUnits m_du;
  QMenuBar* m_pMenuBar = nullptr;
  QWidget* m_pClient = nullptr;
};

}  // namespace stratavon
