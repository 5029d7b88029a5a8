#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThread>

namespace stratavon {

// Runs fn on pContext's thread (the GUI thread) and returns once it has
// run, as a synchronous window message would: a worker's word is on screen
// before the worker goes on. Whoever waits for workers on the GUI thread
// must therefore keep serving its events while it waits.
template <class Fn>
void RunOnGuiThread(QObject* pContext, Fn fn) {
  if (QThread::currentThread() == pContext->thread()) {
    fn();
    return;
  }
  QMetaObject::invokeMethod(pContext, fn, Qt::BlockingQueuedConnection);
}

}  // namespace stratavon
