// The user settings of one peer: name, shared folder, ports and switches, with the settings file
// and command line they come from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Types.h"

namespace Pondard::App {

using Pondar::Core::RawUtf8;

// The longest name the one-byte length of a discovery datagram can carry. Init refuses longer
// names (they would be cut on the wire and no longer match the name this peer compares against).
inline constexpr size_t MaxPeerNameBytes = 255;

// At most this many characters of a value in the settings file are looked at; the rest of a
// longer value is ignored, as the Windows profile reader with its 2048-character buffer does.
inline constexpr size_t MaxIniValueChars = 2047;

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
  // What the desktop portal handed out the last time the user let this peer share the screen
  // of a Wayland desktop; handed back, it spares the user the question. Read from the settings
  // file only: SaveToIni leaves the file's token as it is, SaveScreenRestoreToken replaces it.
  std::string ScreenRestoreToken;
  // The network key as the settings file ([Network] Key=) and the window hold it; empty for none.
  // A settings file that holds one is written readable by its owner alone.
  std::string NetworkKey;
  // A file whose content is the key (--key-file), read at each Start and never saved, so that
  // the key shows neither in a process list nor in the settings file. Over NetworkKey when set.
  std::string NetworkKeyFile;

  // Defaults (Folder = current directory), then the settings file, then AArgs (the arguments
  // after the program name, as the process received them), then the name fallback: $COMPUTERNAME
  // when set and not empty, else the host name up to its first dot; a candidate that is not
  // UsableAsPeerName gives way to RandomPeerName. A name that is still not usable at the end
  // (from the file or the command line) is replaced by a random one too. The settings file is
  // never written here.
  void Init(const std::vector<std::string>& AArgs);
  // Reads the settings file over the current values when it exists and can be read.
  // Integers are read by ParseInteger; a value that is none leaves the field as it was.
  // Booleans are integers, nonzero meaning true. Ports are PortFromInteger.
  // Sections and keys are matched without regard to ASCII case; when a key appears twice in a
  // section the first one counts. Name is taken even when empty; Folder only when it names an
  // existing directory, kept as written.
  void LoadFromIni();
  // Writes the nine values above the token and the network key (its entry removed when there is
  // none), creating missing folders, and keeps every other section
  // and key of an existing file. The new content goes to a temporary file beside the old one, which
  // is then renamed over it, so the old file stays whole when anything fails. Throws
  // std::runtime_error "Unable to write to <ConfigFilePath()>" on any failure (also when an
  // existing file cannot be read, which would otherwise lose its other keys).
  void SaveToIni() const;
  // Applies the options of app/Options.h that change a setting, walking one argument at a time:
  // a value is also looked at as an option in the next step, an option given last has no value,
  // anything unknown is ignored. Returns a line for each value not used as given ("--udp-port
  // 70000: beyond 0 to 65535, its low 16 bits give 4464"), for the program to say.
  std::vector<std::string> ApplyCommandLine(const std::vector<std::string>& AArgs);
  // The key text in force: NetworkKeyFile's content when it is set, else NetworkKey; empty text
  // when keyless. False, with AError saying why, when the key file cannot be read (the caller
  // must then stay off the network rather than run without the key the user asked for).
  bool ReadNetworkKey(std::string& AKey, std::string& AError) const;

  bool operator==(const TPondardConfig&) const = default;
};

// The one integer grammar of the settings file, the options and the window: "0x"/"0X" and hex
// digits for at most 32 bits (0xFFFFFFFF is -1), else an optional sign and decimal digits within
// the signed 32-bit range ("08" is 8). Anything else, blanks and the empty text too, is none.
std::optional<int32_t> ParseInteger(std::string_view AText);
// A port from such an integer: its low 16 bits (-1 gives 65535, 65536 gives 0).
uint16_t PortFromInteger(int32_t AValue);

// Writes AToken as [Screen] RestoreToken into the settings file and changes nothing else in it,
// as SaveToIni writes (same failures). Safe beside a SaveToIni on another thread.
void SaveScreenRestoreToken(const std::string& AToken);

// <dir>/Pondar/pondard.ini, where <dir> is $APPDATA when set and not empty, else
// $XDG_CONFIG_HOME when set to an absolute path, else $HOME/.config (the password database's home
// folder when HOME is unset or empty).
std::string ConfigFilePath();
// A fresh "adjective-animal" name, for instance calm-wren, both words drawn uniformly and
// independently.
RawUtf8 RandomPeerName();
// Only "-", "0"-"9", "A"-"Z", "_", "a"-"z"; the empty name counts as valid. No length rule here.
bool IsValidPeerName(const RawUtf8& AName);
// What Init accepts as this peer's name: a valid name of at most MaxPeerNameBytes bytes.
bool UsableAsPeerName(const RawUtf8& AName);

}  // namespace Pondard::App
