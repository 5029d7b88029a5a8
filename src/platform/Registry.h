#pragma once

#include <cstdint>
#include <string>

namespace stratavon {

// A small key/value store standing in for the system registry. It lives in one
// hand-editable text file, "registry", in the state directory:
//
//   [SYSTEM\CurrentControlSet\Services\EventLog\Application\Halvex Stratavon Utility]
//   EventMessageFile=expand_sz:builtin:StratavonEventlog
//   TypesSupported=dword:7
//
// Every change rewrites the file atomically (temporary file + rename), so a
// crash never leaves half a file behind. Key paths compare case-insensitively,
// as the registry's do.
class CRegistry {
 public:
  enum class ValueType { kString, kExpandString, kDword };

  struct Value {
    ValueType type = ValueType::kString;
    std::string text;       // kString, kExpandString
    uint32_t dw = 0;        // kDword
  };

  // The store in the state directory.
  CRegistry();
  // A store in the given file (tests).
  explicit CRegistry(std::string path);

  const std::string& Path() const { return m_szPath; }

  // True when the key exists (RegOpenKeyEx succeeding).
  bool KeyExists(const std::string& key) const;
  // Creates the key (and the file) when missing. False when the file cannot be written.
  bool CreateKey(const std::string& key);
  // Sets one value of an existing or new key. False when the file cannot be written.
  bool SetValue(const std::string& key, const std::string& name, const Value& value);

 private:
  std::string m_szPath;
};

}  // namespace stratavon
