#pragma once

#include <mutex>

namespace stratavon {

// A process-wide lock shared by consoles and workers.
class CCriticalSection {
 public:
  void Lock() { m_mutex.lock(); }
  void Unlock() { m_mutex.unlock(); }
  bool TryLock() { return m_mutex.try_lock(); }

 private:
  std::mutex m_mutex;
};

// A lock holder that is constructed unlocked and can be taken and released
// repeatedly; whatever it still holds is released when it goes.
class CSingleLock {
 public:
  explicit CSingleLock(CCriticalSection* pSection) : m_pSection(pSection) {}
  ~CSingleLock() { Unlock(); }
  CSingleLock(const CSingleLock&) = delete;
  CSingleLock& operator=(const CSingleLock&) = delete;

  bool Lock() {
    if (!m_bLocked) {
      m_pSection->Lock();
      m_bLocked = true;
    }
    return m_bLocked;
  }
  void Unlock() {
    if (m_bLocked) {
      m_bLocked = false;
      m_pSection->Unlock();
    }
  }
  bool IsLocked() const { return m_bLocked; }

 private:
  CCriticalSection* m_pSection;
  bool m_bLocked = false;
};

// Scoped form for the short sections of the hot paths.
class CScopedLock {
 public:
  explicit CScopedLock(CCriticalSection& section) : m_section(section) { m_section.Lock(); }
  ~CScopedLock() { m_section.Unlock(); }
  CScopedLock(const CScopedLock&) = delete;
  CScopedLock& operator=(const CScopedLock&) = delete;

 private:
  CCriticalSection& m_section;
};

}  // namespace stratavon
