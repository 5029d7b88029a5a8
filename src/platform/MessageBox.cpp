#include "platform/MessageBox.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace stratavon {
namespace {

class CStderrPresenter : public IMessagePresenter {
 public:
  void Present(const std::string& szText, const std::string& szCaption, MessageIcon) override {
    std::lock_guard lock(m_mutex);
    std::fprintf(stderr, "%s: %s\n", szCaption.c_str(), szText.c_str());
  }

 private:
  std::mutex m_mutex;
};

CStderrPresenter g_stderrPresenter;
std::atomic<IMessagePresenter*> g_pPresenter{nullptr};

}  // namespace

void SetMessagePresenter(IMessagePresenter* pPresenter) { g_pPresenter.store(pPresenter); }

void ShowMessageBox(const std::string& szText, const std::string& szCaption, MessageIcon icon) {
  IMessagePresenter* pPresenter = g_pPresenter.load();
  (pPresenter != nullptr ? pPresenter : &g_stderrPresenter)->Present(szText, szCaption, icon);
}

}  // namespace stratavon
