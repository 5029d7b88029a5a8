#pragma once

#include <string>

namespace stratavon {

enum class MessageIcon { kNone, kError, kWarning, kInformation };

// Shows a message to the operator and returns when it has been seen. Any
// thread may call; only the calling thread waits.
class IMessagePresenter {
 public:
  virtual ~IMessagePresenter() = default;
  virtual void Present(const std::string& szText, const std::string& szCaption, MessageIcon icon) = 0;
};

// The process-wide presenter. The desktop program installs one that shows
// a dialog on the GUI thread; without one, messages go to stderr.
void SetMessagePresenter(IMessagePresenter* pPresenter);
void ShowMessageBox(const std::string& szText, const std::string& szCaption, MessageIcon icon);

}  // namespace stratavon
