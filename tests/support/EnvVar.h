// Changing one environment variable for the life of an object.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace PondarTest {

// Remembers the variable's state when made and puts it back (value, or unset) when destroyed.
// The environment is the process's: not for tests that run threads reading it meanwhile.
class TEnvVar {
 public:
  explicit TEnvVar(std::string AName) : FName(std::move(AName)) {
    if (const char* old = std::getenv(FName.c_str())) FOld = old;
  }
  ~TEnvVar() { Restore(); }
  TEnvVar(const TEnvVar&) = delete;
  TEnvVar& operator=(const TEnvVar&) = delete;

  void Set(const std::string& AValue) { ::setenv(FName.c_str(), AValue.c_str(), 1); }
  void Unset() { ::unsetenv(FName.c_str()); }
  // Puts the remembered state back now, for owners that must act on it before they go.
  void Restore() {
    if (FOld)
      ::setenv(FName.c_str(), FOld->c_str(), 1);
    else
      ::unsetenv(FName.c_str());
  }

 private:
  const std::string FName;
  std::optional<std::string> FOld;
};

}  // namespace PondarTest
