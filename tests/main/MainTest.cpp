// The program's command line, as a user or a launcher meets it: --version and --help start no
// peer, unknown arguments are named and otherwise ignored, and --in-pondar-folder never shares
// the folder the program was started in.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "app/Options.h"
#include "support/NetLab.h"
#include "support/RawSockets.h"
#include "support/TestSupport.h"

namespace {

using PondarTest::Occurrences;
using PondarTest::TSandbox;
using namespace std::chrono_literals;

class MainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Any mistake in the option handling starts a peer, which broadcasts.
    if (!PondarTest::InIsolatedNetwork())
      GTEST_SKIP() << "REFUSED: pondard may broadcast; run the tests in a network namespace of "
                      "their own (scripts/test.sh does)";
  }

  // Starts pondard headless on free ports, without a display and with settings of its own
  // (APPDATA); AEnv adds to that environment.
  PondarTest::TLabProcess Start(std::vector<std::string> AArgs,
                                std::map<std::string, std::string> AEnv = {},
                                const std::string& AWorkDir = "",
                                const std::string& AProgram = PONDARD_EXE) {
    PondarTest::TSpawnOptions options;
    options.Env = {{"APPDATA", (Box.Path() / "config").string()}, {"DISPLAY", ""}};
    options.Env.merge(AEnv);
    options.WorkDir = AWorkDir;
    options.LogPath = (Box.Path() / ("log" + std::to_string(++Runs))).string();
    options.Streams = PondarTest::TLogStreams::StdoutOnly;
    AArgs.insert(AArgs.begin(), {AProgram, "--headless", "--udp-port",
                                 std::to_string(PondarTest::FreePort(SOCK_DGRAM)), "--tcp-port",
                                 std::to_string(PondarTest::FreePort(SOCK_STREAM))});
    return PondarTest::SpawnProcess(AArgs, options);
  }

  // What a started peer says it shares, after which it is stopped as a user would.
  std::string SharedFolder(PondarTest::TLabProcess& APeer) {
    const bool started = PondarTest::WaitFor(
        [&] { return APeer.ReadStderr().find(" (UDP ") != std::string::npos; }, 10s);
    EXPECT_TRUE(started) << APeer.ReadStderr();
    APeer.Signal(SIGTERM);
    EXPECT_EQ(APeer.WaitExit(10s), 0) << APeer.ReadStderr();
    std::smatch said;
    const std::string err = APeer.ReadStderr();
    return std::regex_search(err, said, std::regex(" sharing (.*) \\(UDP ")) ? said[1].str() : "";
  }

  TSandbox Box;
  int Runs = 0;
};

TEST_F(MainTest, Version_OneLineAndExit_NoPeerStarted) {
  auto run = Start({"--version"});
  ASSERT_EQ(run.WaitExit(10s), 0);
  EXPECT_TRUE(std::regex_match(run.ReadLog(), std::regex("pondard [0-9]+\\.[0-9]+(\\.[0-9]+)*\n")))
      << run.ReadLog();
  EXPECT_EQ(run.ReadStderr(), "");  // a peer would have said what it shares
}

TEST_F(MainTest, Help_ListsEveryOptionWithItsDefault) {
  auto run = Start({"--help"});
  ASSERT_EQ(run.WaitExit(10s), 0);
  const std::string help = run.ReadLog();
  for (const char* line : {"--headless ", "--name NAME ", "--folder DIR ", "the current directory]",
                           "--udp-port PORT ", "[7731]", "--tcp-port PORT ", "[7732]", "--sound ",
                           "--clipboard ", "--in-pondar-folder ", "--version ", "--help "})
    EXPECT_NE(help.find(line), std::string::npos) << line << "\n" << help;
  EXPECT_EQ(Occurrences(help, "[off"), 4u) << help;  // the four switches that change a setting
  // Each option of the table has its line, with its value's name, and no other option is listed.
  std::set<std::string> listed, table;
  const std::regex optionLine("\n  (-[-a-z]+( [A-Z]+)?)");
  for (auto at = std::sregex_iterator(help.begin(), help.end(), optionLine);
       at != std::sregex_iterator(); ++at)
    listed.insert((*at)[1]);
  for (const auto& option : Pondard::App::CommandLineOptions())
    table.insert(std::string(option.Name) + (option.TakesValue() ? " " : "") +
                 std::string(option.ValueName));
  EXPECT_EQ(listed, table) << help;
}

TEST_F(MainTest, UnknownArguments_NamedOnStderr_PeerRunsAsBefore) {
  auto peer = Start({"--frobnicate", "--name", "desk", "--folder", Box.Str() + "/nowhere",
                     "--folder", Box.Str(), "stray", "--sound", "--tcp-port", "4294967295"});
  EXPECT_EQ(SharedFolder(peer), Box.Str());
  const std::string err = peer.ReadStderr();
  // Values the settings could not use are named as what became of them.
  for (const std::string& said :
       {"--folder " + Box.Str() + "/nowhere: no such folder, option ignored",
        std::string("--tcp-port 4294967295: not an integer of 32 bits, option ignored")})
    EXPECT_EQ(Occurrences(err, "pondard: " + said + "\n"), 1u) << said << "\n" << err;
  EXPECT_EQ(Occurrences(err, "unknown option"), 2u) << err;
  EXPECT_EQ(Occurrences(err, "unknown option --frobnicate, ignored"), 1u) << err;
  EXPECT_EQ(Occurrences(err, "unknown option stray, ignored"), 1u) << err;
}

// The clipboard and screen broadcasting are the window's program's: pondard turns into it, in
// the same process. Where it is missing, one line says so and pondard shares files alone.
TEST_F(MainTest, DesktopWanted_TurnsIntoTheWindowsProgram_OrSharesFilesAloneWithoutIt) {
  const auto alone = Box.Path() / "alone" / "pondard";
  std::filesystem::create_directories(alone.parent_path());
  std::filesystem::copy_file(PONDARD_EXE, alone);
  Box.Write("config/Pondar/pondard.ini", "[Screen]\nBroadcast=1\n");
  for (const bool installed : {true, false}) {
    SCOPED_TRACE(installed);
    auto peer = Start({"--clipboard", "--folder", Box.Str()}, {}, "",
                      installed ? PONDARD_EXE : alone.string());
    ASSERT_TRUE(PondarTest::WaitFor([&] { return Occurrences(peer.ReadLog(), "Ready") == 1; }, 10s))
        << peer.ReadStderr();
    const auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(peer.Pid()) + "/exe");
    EXPECT_EQ(exe.filename().string(), installed ? "pondard-desktop" : "pondard");
    // What the window's program says without a display, AppTest checks; here, what pondard says.
    const std::string why =
        "the window's program " + Box.Str() + "/lib/pondard/pondard-desktop is not installed";
    EXPECT_EQ(Occurrences(peer.ReadStderr(), why + "; running headless, sharing files only\n"),
              installed ? 0u : 1u)
        << peer.ReadStderr();
    for (const std::string unavailable : {"Clipboard sharing", "Screen broadcasting"})
      EXPECT_EQ(Occurrences(peer.ReadLog(), unavailable + " is unavailable: " + why + "\n"),
                installed ? 0u : 1u)
          << peer.ReadLog();
    EXPECT_EQ(SharedFolder(peer), Box.Str());
  }
}

// As the desktop entry and the user unit start it: in the home folder, with --in-pondar-folder.
TEST_F(MainTest, InPondarFolder_SharesPondarOfHome_MadeWhenMissing_ChosenFolderWins) {
  const auto home = Box.Path() / "home";
  std::filesystem::create_directories(home);
  const std::map<std::string, std::string> env = {{"HOME", home.string()}};
  auto first = Start({"--in-pondar-folder"}, env, home.string());
  EXPECT_EQ(SharedFolder(first), (home / "Pondar").string());
  EXPECT_TRUE(std::filesystem::is_directory(home / "Pondar"));

  const auto chosen = Box.Path() / "chosen";
  std::filesystem::create_directories(chosen);
  Box.Write("config/Pondar/pondard.ini", "[FileSharing]\nFolder=" + chosen.string() + "\n");
  auto withSettings = Start({"--in-pondar-folder"}, env, home.string());
  EXPECT_EQ(SharedFolder(withSettings), chosen.string());
}

TEST_F(MainTest, InPondarFolder_Unusable_RefusesRatherThanShareTheStartingFolder) {
  const auto home = Box.Path() / "home";
  Box.Write("home/Pondar", "a file where the folder should be");
  auto run = Start({"--in-pondar-folder"}, {{"HOME", home.string()}}, home.string());
  EXPECT_EQ(run.WaitExit(10s), 1) << run.ReadStderr();
  EXPECT_NE(run.ReadStderr().find("not starting, rather than share " + home.string()),
            std::string::npos)
      << run.ReadStderr();
}

}  // namespace
