#include "run/RunVerdict.h"

namespace stratavon {
namespace {

// The words of the worker protocol: a failing worker writes "FAIL" into the
// console's Status and its target's Status cell, its reason into Extended
// and the Error cell; "NONE" is what a start or a Stop writes over them.
constexpr char kFail[] = "FAIL";
constexpr char kNone[] = "NONE";
constexpr int kMaxTrackedRows = 4096;

// The last Extended text each thread wrote, and through which verdict.
struct LastExtended {
  const CRunVerdict* pVerdict = nullptr;
  std::string szText;
};
thread_local LastExtended t_lastExtended;

}  // namespace

void CRunVerdict::BeginRun() {
  std::lock_guard lock(m_mutex);
  m_targets.clear();
  m_bFailed = false;
  m_bFailureTextFollows = false;
  m_szFailureText.clear();
}

CRunVerdict::TargetState& CRunVerdict::StateOf(int nRow) {
  if (static_cast<size_t>(nRow) >= m_targets.size()) m_targets.resize(static_cast<size_t>(nRow) + 1);
  return m_targets[static_cast<size_t>(nRow)];
}

void CRunVerdict::SetTargetText(int nRow, int nColumn, const std::string& szText) {
  std::lock_guard lock(m_mutex);
  // (rows beyond any records block are no target's: passed on as they are)
  if (nRow < 0 || nRow >= kMaxTrackedRows || (nColumn != kColumnStatus && nColumn != kColumnError)) {
    m_out.SetTargetText(nRow, nColumn, szText);
    return;
  }
  TargetState& target = StateOf(nRow);
  if (nColumn == kColumnStatus) {
    if (szText == kFail && target.nFailures++ == 0 && t_lastExtended.pVerdict == this) {
      target.szReason = t_lastExtended.szText;
    }
    m_out.SetTargetText(nRow, nColumn, target.nFailures > 0 ? std::string(kFail) : szText);
    return;
  }
  if (szText != kNone) target.szError = szText;
  const bool bKeep = target.nFailures > 0 && szText == kNone && !target.szError.empty();
  m_out.SetTargetText(nRow, nColumn, bKeep ? target.szError : szText);
}

void CRunVerdict::SetStatusText(const std::string& szText) {
  std::lock_guard lock(m_mutex);
  if (szText == kFail) {
    m_bFailed = true;
    m_bFailureTextFollows = true;
  }
  m_out.SetStatusText(m_bFailed ? std::string(kFail) : szText);
}

void CRunVerdict::SetExtendedText(const std::string& szText) {
  std::lock_guard lock(m_mutex);
  t_lastExtended = {this, szText};
  if (m_bFailureTextFollows) {
    m_szFailureText = szText;
    m_bFailureTextFollows = false;
  }
  const bool bRestore = m_bFailed && szText == kNone && !m_szFailureText.empty();
  m_out.SetExtendedText(bRestore ? m_szFailureText : szText);
}

int CRunVerdict::Failures() const {
  std::lock_guard lock(m_mutex);
  int nTotal = 0;
  for (const TargetState& target : m_targets) nTotal += target.nFailures;
  return nTotal;
}

int CRunVerdict::FailuresOf(int nRow) const {
  std::lock_guard lock(m_mutex);
  if (nRow < 0 || static_cast<size_t>(nRow) >= m_targets.size()) return 0;
  return m_targets[static_cast<size_t>(nRow)].nFailures;
}

std::string CRunVerdict::ReasonOf(int nRow) const {
  std::lock_guard lock(m_mutex);
  if (nRow < 0 || static_cast<size_t>(nRow) >= m_targets.size()) return {};
  return m_targets[static_cast<size_t>(nRow)].szReason;
}

}  // namespace stratavon
