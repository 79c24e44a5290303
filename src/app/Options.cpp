#include "app/Options.h"

#include <filesystem>
#include <optional>
#include <system_error>

namespace fs = std::filesystem;

namespace Pondard::App {

namespace {

std::string ApplyPort(uint16_t& APort, const std::string& AValue) {
  const std::optional<int32_t> value = ParseInteger(AValue);
  if (!value) return "not an integer of 32 bits, option ignored";
  APort = PortFromInteger(*value);
  if (*value < 0 || *value > 65535)
    return "beyond 0 to 65535, its low 16 bits give " + std::to_string(APort);
  return {};
}

// An existing directory as an absolute, lexically normal path without a trailing separator;
// nothing for anything else.
std::optional<std::string> ExistingFolder(const std::string& AValue) {
  std::error_code ec;
  if (AValue.empty() || !fs::is_directory(AValue, ec)) return std::nullopt;
  fs::path full = fs::absolute(AValue, ec);
  if (ec) return std::nullopt;
  full = full.lexically_normal();
  // "dir/" normalises to "dir/"; the folder is kept without a trailing separator.
  if (!full.has_filename() && full.has_relative_path()) full = full.parent_path();
  // Dropping ".." lexically can change the meaning across a symbolic link; then the resolved
  // path stands.
  if (!fs::is_directory(full, ec)) {
    full = fs::canonical(AValue, ec);
    if (ec) return std::nullopt;
  }
  return full.string();
}

std::string ApplyFolder(TPondardConfig& AConfig, const std::string& AValue) {
  const std::optional<std::string> folder = ExistingFolder(AValue);
  if (!folder) return "no such folder, option ignored";
  AConfig.Folder = *folder;
  return {};
}

const TOption Options[] = {
    {.Name = "--headless",
     .Help = "run without a window (as without an X display); log lines go to standard output "
             "[off: a window where an X display answers]",
     .Sets = &TProgramSwitches::Headless},
    {.Name = "--name",
     .ValueName = "NAME",
     .Help = "name announced to other peers (letters, digits, '-' and '_') [$COMPUTERNAME, else "
             "the host name up to its first dot, else a random name such as calm-wren]",
     .Apply = [](TPondardConfig& AConfig, const std::string& AValue) {
       AConfig.Name = AValue;  // checked by Init, once the settings file has had its say
       return std::string();
     }},
    {.Name = "--folder",
     .ValueName = "DIR",
     .Help = "the shared folder [the current directory]",
     .Apply = ApplyFolder},
    {.Name = "--udp-port",
     .ValueName = "PORT",
     .Help = "UDP port for finding peers [7731]",
     .Apply = [](TPondardConfig& AConfig, const std::string& AValue) {
       return ApplyPort(AConfig.UdpPort, AValue);
     }},
    {.Name = "--tcp-port",
     .ValueName = "PORT",
     .Help = "TCP port for serving files [7732]",
     .Apply = [](TPondardConfig& AConfig, const std::string& AValue) {
       return ApplyPort(AConfig.TcpPort, AValue);
     }},
    {.Name = "--sound",
     .Help = "sound on peer events (only with a window; none headless) [off]",
     .Apply = [](TPondardConfig& AConfig, const std::string&) {
       AConfig.Sound = true;
       return std::string();
     }},
    {.Name = "--clipboard",
     .Help = "share clipboard text with the peers (needs an X display: the CLIPBOARD selection "
             "of $DISPLAY; without one, runs on without it) [off]",
     .Apply = [](TPondardConfig& AConfig, const std::string&) {
       AConfig.Clipboard = true;
       return std::string();
     }},
    {.Name = "--in-pondar-folder",
     .Help = "start in ~/Pondar, created when missing, so that it is the default shared folder "
             "rather than wherever the program was started; the menu entry and the user unit "
             "pass it [off]",
     .Sets = &TProgramSwitches::InPondarFolder},
    {.Name = "--version", .Help = "show the version and exit", .Sets = &TProgramSwitches::Version},
    {.Name = "--help", .Help = "show this text and exit", .Sets = &TProgramSwitches::Help},
    {.Name = "-h", .Help = "the same as --help", .Sets = &TProgramSwitches::Help},
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
  for (const std::string& arg : AArgs) {
    const TOption* option = FindOption(arg);
    if (!option || !option->Sets) continue;
    found.*(option->Sets) = true;
    if (found.Help || found.Version) break;
  }
  return found;
}

std::vector<std::string> UnknownArguments(const std::vector<std::string>& AArgs) {
  std::vector<std::string> unknown;
  for (size_t i = 0; i < AArgs.size(); ++i) {
    if (FindOption(AArgs[i])) continue;
    const TOption* before = i > 0 ? FindOption(AArgs[i - 1]) : nullptr;
    if (!before || !before->TakesValue()) unknown.push_back(AArgs[i]);
  }
  return unknown;
}

}  // namespace Pondard::App
