// The program's command-line options in one table: the settings apply it, the program prints its
// help and its warnings from it, so that an option cannot be obeyed, listed and checked three
// different ways.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/Config.h"

namespace Pondard::App {

// What the program itself does with its command line, before and beside the settings.
struct TProgramSwitches {
  bool Help = false;
  bool Version = false;
  bool Headless = false;
  bool InPondarFolder = false;
};

struct TOption {
  std::string_view Name = {};       // as typed, exact case: "--udp-port"
  std::string_view ValueName = {};  // "PORT" when it takes the next argument; empty for a switch
  std::string_view Help = {};       // one paragraph, its default in brackets
  // Applies the option to the settings (with its value, for one that takes a value) and returns
  // what became of a value that was not used as given ("not an integer of 32 bits, option
  // ignored"), or nothing. Null for an option of the program itself, which changes no setting.
  std::string (*Apply)(TPondardConfig& AConfig, const std::string& AValue) = nullptr;
  // The switch of the program's own that the option sets; null for an option of the settings.
  bool TProgramSwitches::*Sets = nullptr;

  bool TakesValue() const { return !ValueName.empty(); }
};

// Every option, in the order the help lists them.
std::span<const TOption> CommandLineOptions();
// The option of that exact name, or null.
const TOption* FindOption(std::string_view AArg);

// The program's own switches found in AArgs, looked at one argument at a time as the settings do
// (so a value such as the name "--headless" counts as well). The walk stops at --help or
// --version, so that the first of the two is the one obeyed.
TProgramSwitches ReadProgramSwitches(const std::vector<std::string>& AArgs);
// The arguments that are neither an option nor the value of the option before them: the settings
// skip them, and the program names them so that a mistyped option is not taken as obeyed.
std::vector<std::string> UnknownArguments(const std::vector<std::string>& AArgs);

}  // namespace Pondard::App
