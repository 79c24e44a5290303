#include "app/Options.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace Pondard::App {

namespace {

std::string ApplyPort(uint16_t& APort, const std::string& AValue) {
  const std::optional<int32_t> value = ParseInteger(AValue);
  if (!value) return "not an integer of 32 bits, option ignored";
  APort = PortFromInteger(*value);
  if (*value >= 0 && *value <= 65535) return {};
  return "beyond 0 to 65535, its low 16 bits give " + std::to_string(APort);
}

// An existing directory only, made absolute and lexically normal, without a trailing separator.
std::string ApplyFolder(TPondardConfig& AConfig, const std::string& AValue) {
  const std::string ignored = "no such folder, option ignored";
  std::error_code ec;
  if (AValue.empty() || !fs::is_directory(AValue, ec)) return ignored;
  fs::path full = fs::absolute(AValue, ec).lexically_normal();
  if (ec) return ignored;
  if (!full.has_filename() && full.has_relative_path()) full = full.parent_path();  // "dir/"
  // Dropping ".." lexically can change the meaning across a symbolic link; then the resolved
  // path stands.
  if (!fs::is_directory(full, ec)) full = fs::canonical(AValue, ec);
  if (ec) return ignored;
  AConfig.Folder = full.string();
  return {};
}

// Kept as an absolute path, since the program may change its folder before Start reads it. A
// file that cannot be read now is named at once; Start refuses to go on the network without it.
std::string ApplyKeyFile(TPondardConfig& AConfig, const std::string& AValue) {
  if (AValue.empty()) return "no file named, option ignored";
  std::error_code ec;
  const fs::path full = fs::absolute(AValue, ec);
  AConfig.NetworkKeyFile = ec ? AValue : full.string();
  std::string key, error;
  if (!AConfig.ReadNetworkKey(key, error)) return "cannot be read: the peer stays off the network";
  return {};
}

// Short names, so that what an option does fits on its line of the table.
using TConfig = TPondardConfig;
using TValue = const std::string&;

// Name, value name, help with the default in brackets, what it does to the settings, or which
// switch of the program's own it sets.
const TOption Options[] = {
    {"--headless", "",
     "run without a window (as without an X display); log lines go to standard output [off: a "
     "window where an X display answers]",
     nullptr, &TProgramSwitches::Headless},
    {"--name", "NAME",
     "name announced to other peers (letters, digits, '-' and '_') [$COMPUTERNAME, else the host "
     "name up to its first dot, else a random name such as calm-wren]",
     [](TConfig& AConfig, TValue AValue) { AConfig.Name = AValue; return std::string(); }},
    {"--folder", "DIR", "the shared folder [the current directory]", ApplyFolder},
    {"--udp-port", "PORT", "UDP port for finding peers [7731]",
     [](TConfig& AConfig, TValue AValue) { return ApplyPort(AConfig.UdpPort, AValue); }},
    {"--tcp-port", "PORT", "TCP port for serving files [7732]",
     [](TConfig& AConfig, TValue AValue) { return ApplyPort(AConfig.TcpPort, AValue); }},
    {"--sound", "", "sound on peer events (only with a window; none headless) [off]",
     [](TConfig& AConfig, TValue) { AConfig.Sound = true; return std::string(); }},
    {"--clipboard", "",
     "share clipboard text with the peers (needs an X display: the CLIPBOARD selection of "
     "$DISPLAY; without one, runs on without it) [off]",
     [](TConfig& AConfig, TValue) { AConfig.Clipboard = true; return std::string(); }},
    {"--key-file", "PATH",
     "take the network key from the file PATH (so that it shows in no process list): only "
     "peers with the same key are seen and served, and all traffic between them is encrypted. "
     "Over [Network] Key= of the settings file [no key: every peer on the network is seen]",
     ApplyKeyFile},
    {"--new-key", "",
     "print a fresh network key (128 random bits) and exit; a generated key is the strong "
     "choice, since a key typed by hand is only as strong as it is hard to guess",
     nullptr, &TProgramSwitches::NewKey},
    {"--in-pondar-folder", "",
     "start in ~/Pondar, created when missing, so that it is the default shared folder rather "
     "than wherever the program was started; the menu entry and the user unit pass it [off]",
     nullptr, &TProgramSwitches::InPondarFolder},
    {"--version", "", "show the version and exit", nullptr, &TProgramSwitches::Version},
    {"--help", "", "show this text and exit", nullptr, &TProgramSwitches::Help},
    {"-h", "", "the same as --help", nullptr, &TProgramSwitches::Help},
};

}  // namespace

std::span<const TOption> CommandLineOptions() { return Options; }

const TOption* FindOption(std::string_view AArg) {
  for (const TOption& option : Options)
    if (option.Name == AArg) return &option;
  return nullptr;
}

TProgramSwitches ReadProgramSwitches(const std::vector<std::string>& AArgs) {
  TProgramSwitches found;
  for (size_t i = 0; i < AArgs.size() && !found.Help && !found.Version; ++i)
    if (const TOption* option = FindOption(AArgs[i]); option && option->Sets)
      found.*(option->Sets) = true;
  return found;
}

std::vector<std::string> UnknownArguments(const std::vector<std::string>& AArgs) {
  std::vector<std::string> unknown;
  for (size_t i = 0; i < AArgs.size(); ++i) {
    const TOption* before = i > 0 ? FindOption(AArgs[i - 1]) : nullptr;
    if (!FindOption(AArgs[i]) && !(before && before->TakesValue())) unknown.push_back(AArgs[i]);
  }
  return unknown;
}

}  // namespace Pondard::App
