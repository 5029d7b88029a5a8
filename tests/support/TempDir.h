#pragma once

#include <string>

namespace stratavon::test {

// A fresh folder under the system's temporary directory (or under base),
// removed with everything in it when the object goes. Root() ends in '/'.
class CTempDir {
 public:
  explicit CTempDir(const std::string& szBase = "");
  ~CTempDir();
  CTempDir(const CTempDir&) = delete;
  CTempDir& operator=(const CTempDir&) = delete;

  const std::string& Root() const { return m_szRoot; }
  std::string Path(const std::string& szName) const { return m_szRoot + szName; }

 private:
  std::string m_szRoot;
};

// Points STRATAVON_HOME at a private folder for the life of the object.
class CStateHome {
 public:
  CStateHome();
  ~CStateHome();
  const std::string& Dir() const { return m_dir.Root(); }
  std::string EventLog() const;

 private:
  CTempDir m_dir;
  std::string m_szPrevious;
  bool m_bHadPrevious = false;
};

// Whole contents of a file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& szPath);

}  // namespace stratavon::test
