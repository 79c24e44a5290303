// The user settings of one peer: name, shared folder, ports and switches, with the settings file
// and command line they come from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/Types.h"

namespace Pondard::Core {

using Pondar::Core::RawUtf8;

struct TPondardConfig {
  RawUtf8 Name;
  std::string Folder;  // full path of the shared folder
  uint16_t UdpPort = 7731;
  uint16_t TcpPort = 7732;
  bool Sound = false;
  bool FileSharing = true;
  bool Clipboard = false;
  bool ScreenBroadcast = false;
  bool ScreenReceive = false;

  // Defaults, then the settings file, then AArgs (the arguments after the program name, as the
  // process received them), then the name fallback (COMPUTERNAME or host name, else random).
  void Init(const std::vector<std::string>& AArgs);
  // Reads the settings file over the current values when it exists; unreadable keys are left.
  void LoadFromIni();
  // Writes all nine values, creating missing folders. Throws std::runtime_error
  // "Unable to write to <path>" when the write is refused; the old file then stays whole.
  void SaveToIni() const;
  // Applies the options it knows, walking one argument at a time; others are ignored.
  void ApplyCommandLine(const std::vector<std::string>& AArgs);

  bool operator==(const TPondardConfig&) const = default;
};

// <APPDATA or XDG_CONFIG_HOME or ~/.config>/Pondar/pondard.ini
std::string ConfigFilePath();
// A fresh "adjective-animal" name, for instance calm-wren.
RawUtf8 RandomPeerName();
// Only "-", "0"-"9", "A"-"Z", "_", "a"-"z"; the empty name counts as valid.
bool IsValidPeerName(const RawUtf8& AName);

}  // namespace Pondard::Core
