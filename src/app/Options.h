// The program's command-line options in one table: the settings apply it, and the program prints
// its help and its warnings from it, so that what is listed, obeyed and said cannot drift apart.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/Config.h"

namespace Pondard::App {

// What the program itself takes from its command line, beside the settings.
struct TProgramSwitches {
  bool Help = false, Version = false, Headless = false, InPondarFolder = false, NewKey = false;
};

struct TOption {
  std::string_view Name = {};       // exact case: "--udp-port"
  std::string_view ValueName = {};  // "PORT" when it takes the next argument; empty for a switch
  std::string_view Help = {};       // one paragraph, the default in brackets
  // Applies the option (with its value) to the settings and returns what became of a value that
  // was not used as given ("not an integer of 32 bits, option ignored"), else nothing. Null for
  // the program's own switches, which change no setting.
  std::string (*Apply)(TPondardConfig& AConfig, const std::string& AValue) = nullptr;
  bool TProgramSwitches::*Sets = nullptr;  // the program's own switch, for those

  bool TakesValue() const { return !ValueName.empty(); }
};

// Every option, in the order of the help.
std::span<const TOption> CommandLineOptions();
const TOption* FindOption(std::string_view AArg);  // null for an unknown argument

// The program's switches in AArgs, each argument looked at as the settings do (so the name
// "--headless" turns it on too). The walk stops at --help or --version: the first one counts.
TProgramSwitches ReadProgramSwitches(const std::vector<std::string>& AArgs);
// The arguments that are neither an option nor the value of the option before them, which the
// settings skip and the program names, so that a mistyped option is not taken as obeyed.
std::vector<std::string> UnknownArguments(const std::vector<std::string>& AArgs);

}  // namespace Pondard::App
