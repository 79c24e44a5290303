// Settings of one peer: defaults, the settings file, the command line, the name fallback and
// writing the file back. Every test runs against its own APPDATA folder and a fake COMPUTERNAME.
#include "app/Config.h"
#include "app/Options.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/EnvVar.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using Pondard::App::ConfigFilePath;
using Pondard::App::IsValidPeerName;
using Pondard::App::ParseInteger;
using Pondard::App::RandomPeerName;
using Pondard::App::TPondardConfig;
using Pondard::App::UsableAsPeerName;
using PondarTest::TEnvVar;

namespace {

// The two word lists random names are drawn from, as the product defines them.
const std::vector<std::string> kAdjectives = {
    "fast", "calm", "bold", "warm", "cool", "keen", "wise", "wild", "soft", "dark", "tall",
    "deep", "fair", "good", "kind", "pure", "rich", "safe", "true", "vast", "free", "glad",
    "just", "neat", "rare", "slim", "sure", "tidy", "wary", "mild", "pale", "deft"};
const std::vector<std::string> kAnimals = {
    "fox", "owl", "elk", "bee", "cat", "dog", "bat", "ant", "yak", "emu", "jay",
    "ram", "cod", "hen", "ape", "cow", "pig", "rat", "fly", "bug", "wren", "deer",
    "swan", "toad", "wolf", "bear", "lynx", "mole", "hare", "seal", "crab", "dove"};

bool Contains(const std::vector<std::string>& AList, const std::string& AWord) {
  return std::find(AList.begin(), AList.end(), AWord) != AList.end();
}

// Splits "adjective-animal"; nullopt when the name is not of that form with words of the lists.
std::optional<std::pair<std::string, std::string>> SplitRandomName(const std::string& AName) {
  const size_t dash = AName.find('-');
  if (dash == std::string::npos) return std::nullopt;
  std::string adjective = AName.substr(0, dash);
  std::string animal = AName.substr(dash + 1);
  if (!Contains(kAdjectives, adjective) || !Contains(kAnimals, animal)) return std::nullopt;
  return std::make_pair(adjective, animal);
}

bool IsRandomName(const std::string& AName) { return SplitRandomName(AName).has_value(); }

// A minimal reading of an INI text, as the test's own check of what was written: section ->
// key -> value, names kept as spelled, plus the order in which sections appear.
struct TIniText {
  std::map<std::string, std::map<std::string, std::string>> Values;
  std::vector<std::string> SectionOrder;
  std::map<std::string, int> KeyCount;  // "section/key" -> occurrences
};

TIniText ReadIniText(const std::string& AText) {
  TIniText ini;
  std::istringstream in(AText);
  std::string line, section;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
      ini.SectionOrder.push_back(section);
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    ini.Values[section][key] = line.substr(eq + 1);
    ++ini.KeyCount[section + "/" + key];
  }
  return ini;
}

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FOldCwd = fs::current_path();
    FAppData.Set(Box.Str());
    FComputerName.Set("DESK-01");
    FXdg.Unset();
  }
  void TearDown() override { fs::current_path(FOldCwd); }

  fs::path IniPath() const { return Box.Path() / "Pondar" / "pondard.ini"; }
  void WriteIni(const std::string& AContent) const { Box.Write("Pondar/pondard.ini", AContent); }
  std::string ReadIni() const { return Box.Read("Pondar/pondard.ini"); }
  static TPondardConfig InitWith(const std::vector<std::string>& AArgs = {}) {
    TPondardConfig config;
    config.Init(AArgs);
    return config;
  }
  // Files in a folder, by name.
  static std::set<std::string> FilesIn(const fs::path& ADir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(ADir))
      names.insert(entry.path().filename().string());
    return names;
  }

  PondarTest::TSandbox Box;
  TEnvVar FAppData{"APPDATA"};
  TEnvVar FComputerName{"COMPUTERNAME"};
  TEnvVar FXdg{"XDG_CONFIG_HOME"};
  TEnvVar FHome{"HOME"};
  fs::path FOldCwd;
};

// ---- Init: defaults and the name fallback ----

// Whatever the settings held before.
TEST_F(ConfigTest, Init_NoFileNoArgs_DefaultsAndComputerName) {
  TPondardConfig config;
  config.Name = "old-name";
  config.UdpPort = 1;
  config.Sound = config.Clipboard = true;
  config.FileSharing = false;
  config.Init({});
  EXPECT_EQ(config.Name, "DESK-01");
  EXPECT_EQ(config.Folder, fs::current_path().string());
  EXPECT_EQ(config.UdpPort, 7731);
  EXPECT_EQ(config.TcpPort, 7732);
  EXPECT_TRUE(config.FileSharing);
  EXPECT_FALSE(config.Sound);
  EXPECT_FALSE(config.Clipboard);
  EXPECT_FALSE(config.ScreenBroadcast);
  EXPECT_FALSE(config.ScreenReceive);
  // Reading the settings never creates them.
  EXPECT_FALSE(fs::exists(Box.Path() / "Pondar"));
}

TEST_F(ConfigTest, Init_NameFallback_Table) {
  const std::string n255(255, 'n'), n256(256, 'n');
  struct TCase {
    const char* What;
    std::string ComputerName;
    const char* IniName;  // null: no settings file
    std::vector<std::string> Args;
    std::string Name;  // "*": a random name
  };
  const TCase cases[] = {
      {"every allowed character", "Az09-_zA", nullptr, {}, "Az09-_zA"},
      {"a blank", "DESK 01", nullptr, {}, "*"},
      {"a dot", "desk.local", nullptr, {}, "*"},
      {"UTF-8", "B\xC3\xBCro", nullptr, {}, "*"},
      {"a slash", "a/b", nullptr, {}, "*"},
      {"an exclamation mark", "x!", nullptr, {}, "*"},
      {"255 bytes, as the datagram carries", n255, nullptr, {}, n255},
      {"255 bytes given", "DESK-01", nullptr, {"--name", n255}, n255},
      {"256 bytes given", "DESK-01", nullptr, {"--name", n256}, "*"},
      {"256 bytes in the file", "DESK-01", n256.c_str(), {}, "*"},
      {"300 bytes of computer name", std::string(300, 'c'), nullptr, {}, "*"},
      {"the file's over the computer's", "DESK-01", "ini-desk", {}, "ini-desk"},
      {"an empty one in the file", "DESK-01", "", {}, "DESK-01"},
      {"the command line's over the file's", "DESK-01", "ini-desk", {"--name", "cli"}, "cli"},
      {"an empty one given", "DESK-01", "ini-desk", {"--name", ""}, "DESK-01"},
  };
  for (const TCase& c : cases) {
    FComputerName.Set(c.ComputerName);
    if (c.IniName) WriteIni("[General]\nName=" + std::string(c.IniName) + "\n");
    else fs::remove(IniPath());
    const std::string name = InitWith(c.Args).Name;
    if (c.Name == "*") {
      EXPECT_TRUE(IsRandomName(name)) << c.What << " gave " << name;
    } else {
      EXPECT_EQ(name, c.Name) << c.What;
    }
  }
}

TEST_F(ConfigTest, Init_InvalidIniName_RandomAndFileNotRewritten) {
  const std::string content = "[General]\r\nName=my desk\r\n; keep me\r\n[Network]\r\nUdpPort=9000\r\n";
  WriteIni(content);
  PondarTest::SetMTime(IniPath(), 1000000000);
  const TPondardConfig config = InitWith();
  EXPECT_TRUE(IsRandomName(config.Name)) << config.Name;
  EXPECT_EQ(config.UdpPort, 9000);
  EXPECT_EQ(ReadIni(), content);
  struct stat st {};
  ASSERT_EQ(::stat(IniPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1000000000);
  EXPECT_EQ(FilesIn(Box.Path() / "Pondar"), std::set<std::string>{"pondard.ini"});
}

TEST_F(ConfigTest, Init_CommandLine_WinsOverIni) {
  WriteIni("[General]\nName=ini-desk\n[Network]\nUdpPort=1000\nTcpPort=1001\n");
  // Through Init too the walk takes "--sound" as the name, and then as the switch.
  const TPondardConfig config = InitWith({"--name", "--sound", "--udp-port", "2000"});
  EXPECT_EQ(config.Name, "--sound");
  EXPECT_TRUE(config.Sound);
  EXPECT_EQ(config.UdpPort, 2000);
  EXPECT_EQ(config.TcpPort, 1001);
}

// Without COMPUTERNAME the host name stands in, up to its first dot. The host name is changed in
// a UTS namespace of a child process only, so the machine's own name is never touched.
TEST_F(ConfigTest, Init_NoComputerName_UsesShortHostName) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::unshare(CLONE_NEWUTS) != 0) ::_exit(77);
    int failures = 0;
    const auto hostTry = [&](const char* AHost, const char* AComputerName, bool AExpectRandom,
                             const char* AExpected, int ABit) {
      if (::sethostname(AHost, std::string(AHost).size()) != 0) ::_exit(78);
      if (AComputerName) ::setenv("COMPUTERNAME", AComputerName, 1);
      else ::unsetenv("COMPUTERNAME");
      TPondardConfig config;
      config.Init({});
      const bool ok = AExpectRandom ? IsRandomName(config.Name) : config.Name == AExpected;
      if (!ok) failures |= ABit;
    };
    hostTry("lab-host.example.org", nullptr, false, "lab-host", 1);
    hostTry("labhost", "", false, "labhost", 2);      // set but empty counts as unset
    hostTry("lab host", nullptr, true, nullptr, 4);   // not a valid name
    hostTry("lab-host", "DESK-02", false, "DESK-02", 8);
    ::_exit(failures);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77 || WEXITSTATUS(status) == 78)
    GTEST_SKIP() << "cannot make a UTS namespace here (needs root)";
  const int failures = WEXITSTATUS(status);
  EXPECT_EQ(failures & 1, 0) << "FQDN host name not cut at its first dot";
  EXPECT_EQ(failures & 2, 0) << "empty COMPUTERNAME not treated as unset";
  EXPECT_EQ(failures & 4, 0) << "invalid host name not replaced by a random name";
  EXPECT_EQ(failures & 8, 0) << "COMPUTERNAME did not win over the host name";
}

// ---- Peer names ----

TEST(PeerNameTest, IsValidPeerName_EveryByte_OnlyTheAllowedSet) {
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const bool allowed = c == '-' || c == '_' || (b >= '0' && b <= '9') ||
                         (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
    EXPECT_EQ(IsValidPeerName(std::string("ab") + c + "cd"), allowed) << "byte " << b;
  }
}

// Validity knows no length; a name is usable only while the datagram's length byte holds it.
TEST(PeerNameTest, ValidAndUsable_Table) {
  const struct {
    std::string Name;
    bool Valid, Usable;
  } cases[] = {{"", true, true},          {std::string(255, 'x'), true, true},
               {std::string(256, 'x'), true, false}, {std::string(5000, 'x'), true, false},
               {std::string(5000, 'x') + ".", false, false}, {"a b", false, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(IsValidPeerName(c.Name), c.Valid) << c.Name.size() << " bytes: " << c.Name;
    EXPECT_EQ(UsableAsPeerName(c.Name), c.Usable) << c.Name.size() << " bytes: " << c.Name;
  }
}

TEST(PeerNameTest, RandomPeerName_ManyDraws_UniformOverBothLists) {
  constexpr int kDraws = 4096;
  std::map<std::string, int> adjectives, animals;
  std::set<std::string> pairs;
  for (int i = 0; i < kDraws; ++i) {
    const std::string name = RandomPeerName();
    const auto words = SplitRandomName(name);
    ASSERT_TRUE(words) << name;
    ASSERT_TRUE(IsValidPeerName(name));
    ++adjectives[words->first];
    ++animals[words->second];
    pairs.insert(name);
  }
  // 128 expected per word (standard deviation about 11): every word shows up, none dominates.
  EXPECT_EQ(adjectives.size(), 32u);
  EXPECT_EQ(animals.size(), 32u);
  for (const auto& [word, count] : adjectives) EXPECT_LT(count, 220) << word;
  for (const auto& [word, count] : animals) EXPECT_LT(count, 220) << word;
  // Independent words: about 1005 of the 1024 pairs are expected; correlated draws, or draws
  // tied to a clock that barely moves in this tight loop, give far fewer.
  EXPECT_GT(pairs.size(), 900u);
}

// ---- ConfigFilePath ----

// APPDATA, else an absolute XDG_CONFIG_HOME, else HOME's .config; empty counts as unset.
TEST_F(ConfigTest, ConfigFilePath_Table) {
  const char* const kUnset = nullptr;
  const struct {
    const char *AppData, *Xdg, *Expected;
  } cases[] = {
      {"/data/app", kUnset, "/data/app/Pondar/pondard.ini"},
      {"/data/app/", kUnset, "/data/app/Pondar/pondard.ini"},
      {"/data/app/", "/xdg", "/data/app/Pondar/pondard.ini"},
      {kUnset, "/xdg/conf", "/xdg/conf/Pondar/pondard.ini"},
      {"", "/xdg/conf/", "/xdg/conf/Pondar/pondard.ini"},
      {kUnset, kUnset, "/home/tester/.config/Pondar/pondard.ini"},
      {kUnset, "", "/home/tester/.config/Pondar/pondard.ini"},
      {kUnset, "relative/conf", "/home/tester/.config/Pondar/pondard.ini"},
  };
  FHome.Set("/home/tester");
  for (const auto& c : cases) {
    c.AppData ? FAppData.Set(c.AppData) : FAppData.Unset();
    c.Xdg ? FXdg.Set(c.Xdg) : FXdg.Unset();
    EXPECT_EQ(ConfigFilePath(), c.Expected) << (c.AppData ? c.AppData : "-") << " "
                                            << (c.Xdg ? c.Xdg : "-");
  }
}

TEST_F(ConfigTest, LoadFromIni_XdgConfigHome_FileReadFromThere) {
  FAppData.Unset();
  FXdg.Set((Box.Path() / "xdg").string());
  Box.Write("xdg/Pondar/pondard.ini", "[General]\nName=from-xdg\n");
  EXPECT_EQ(InitWith().Name, "from-xdg");
}

// ---- LoadFromIni: value forms ----

TEST_F(ConfigTest, LoadFromIni_AllKeys_Read) {
  const fs::path shared = Box.Path() / "shared";
  fs::create_directories(shared);
  WriteIni(
      "[General]\nName=file-desk\nSound=1\n[FileSharing]\nEnabled=0\nFolder=" + shared.string() +
      "\n[Clipboard]\nEnabled=1\n[Screen]\nBroadcast=1\nReceive=1\nRestoreToken=a-b_1\n"
      "[Network]\nUdpPort=8001\nTcpPort=8002\nKey=a typed key\n");
  TPondardConfig config;
  config.LoadFromIni();
  EXPECT_EQ(config.NetworkKey, "a typed key");
  EXPECT_EQ(config.ScreenRestoreToken, "a-b_1");
  EXPECT_EQ(config.Name, "file-desk");
  EXPECT_TRUE(config.Sound);
  EXPECT_FALSE(config.FileSharing);
  EXPECT_EQ(config.Folder, shared.string());
  EXPECT_TRUE(config.Clipboard);
  EXPECT_TRUE(config.ScreenBroadcast);
  EXPECT_TRUE(config.ScreenReceive);
  EXPECT_EQ(config.UdpPort, 8001);
  EXPECT_EQ(config.TcpPort, 8002);
}

// The one integer grammar of the settings, read through each of its readers: the file's ports and
// switches, and the port options. A text that is no integer leaves every field as it was; the
// window's port fields call the same parser (tests/ui).
TEST_F(ConfigTest, ParseInteger_Table_SameThroughFileAndOptions) {
  const struct {
    std::string Text;
    std::optional<int32_t> Integer;  // none: no integer
    uint16_t Port;                   // its low 16 bits
  } cases[] = {
      {"0x1E33", 7731, 7731}, {"0X1e34", 7732, 7732}, {"+80", 80, 80}, {"007", 7, 7},
      {"08", 8, 8}, {"-0", 0, 0}, {"65536", 65536, 0}, {"70000", 70000, 4464},
      {"72000", 72000, 72000 - 65536}, {"-1", -1, 65535}, {"0xFFFFFFFF", -1, 65535},
      {"0x00000000FF", 255, 255}, {"2147483647", 2147483647, 65535},
      {"-2147483648", INT32_MIN, 0},  // -2^31 has zero low bits
      {"yes", {}, 0}, {"", {}, 0}, {"12abc", {}, 0}, {"0x", {}, 0}, {"0x1G", {}, 0},
      {"1 2", {}, 0}, {"+", {}, 0}, {"-", {}, 0}, {"0x-5", {}, 0}, {"+-5", {}, 0},
      {"-0x5", {}, 0}, {"2147483648", {}, 0}, {"-2147483649", {}, 0}, {"4294967295", {}, 0},
      {"0x100000000", {}, 0}, {"1.5", {}, 0}, {"1e3", {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("\"" + c.Text + "\"");
    EXPECT_EQ(ParseInteger(c.Text), c.Integer);
    WriteIni("[General]\nSound=" + c.Text + "\n[FileSharing]\nEnabled=" + c.Text +
             "\n[Clipboard]\nEnabled=" + c.Text + "\n[Screen]\nBroadcast=" + c.Text +
             "\nReceive=" + c.Text + "\n[Network]\nUdpPort=" + c.Text + "\nTcpPort=" + c.Text +
             "\n");
    TPondardConfig file;  // switches: nonzero on, zero off, no integer leaves them as they were
    file.Sound = file.ScreenReceive = true;
    file.LoadFromIni();
    TPondardConfig options;
    options.ApplyCommandLine({"--udp-port", c.Text, "--tcp-port", c.Text});
    for (const TPondardConfig& config : {file, options}) {
      EXPECT_EQ(config.UdpPort, c.Integer ? c.Port : 7731);
      EXPECT_EQ(config.TcpPort, c.Integer ? c.Port : 7732);
    }
    for (const bool on : {file.Sound, file.FileSharing, file.ScreenReceive})
      EXPECT_EQ(on, c.Integer ? *c.Integer != 0 : true);
    for (const bool on : {file.Clipboard, file.ScreenBroadcast})
      EXPECT_EQ(on, c.Integer ? *c.Integer != 0 : false);
  }
}

// What the file does not say stays as it was, but for the name, which an existing file holds
// alone; a file that cannot be read (a folder, or a FIFO that must not block) is like none.
TEST_F(ConfigTest, LoadFromIni_WhatIsNotRead_StaysAsItWas) {
  const struct {
    const char* What;
    std::function<void()> Make;
    std::function<void(TPondardConfig&)> Change;
  } cases[] = {
      {"missing keys", [&] { WriteIni("[General]\nName=only-name\n[Other]\nUdpPort=1\n"); },
       [](auto& c) { c.Name = "only-name"; }},
      {"no name in the file", [&] { WriteIni("[Network]\nUdpPort=1\n"); },
       [](auto& c) { c.Name = ""; c.UdpPort = 1; }},
      {"no file", [] {}, {}},
      {"a folder in its place", [&] { fs::create_directories(IniPath()); }, {}},
      {"a FIFO in its place", [&] { ASSERT_EQ(::mkfifo(IniPath().c_str(), 0600), 0); }, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    fs::remove_all(IniPath());
    fs::create_directories(IniPath().parent_path());
    c.Make();
    TPondardConfig config, expected;
    config.Name = "before";
    config.Sound = true;
    config.FileSharing = false;
    config.UdpPort = 1234;
    config.Folder = "/kept";
    expected = config;
    if (c.Change) c.Change(expected);
    config.LoadFromIni();
    EXPECT_EQ(config, expected);
  }
  EXPECT_THROW(TPondardConfig().SaveToIni(), std::runtime_error);
  EXPECT_EQ(fs::status(IniPath()).type(), fs::file_type::fifo);
}

TEST_F(ConfigTest, LoadFromIni_Spelling_Table) {
  struct TCase {
    const char* What;
    std::string Ini;
    std::string Name;
    int UdpPort;
  };
  const TCase cases[] = {
      {"section and key case", "[general]\nNAME=case-desk\n[NETWORK]\nudpport=4000\n", "case-desk",
       4000},
      {"a key twice: the first counts", "[Network]\nUdpPort=1000\nUdpPort=2000\n", "", 1000},
      {"a UTF-8 signature, CR LF and blanks",
       "\xEF\xBB\xBF[General]\r\nName = bom-desk  \r\n[Network]\r\n  UdpPort =  0x10\r\n",
       "bom-desk", 16},
      {"a UTF-8 name, as bytes", "[General]\nName=B\xC3\xBCro\n", "B\xC3\xBCro", 7731},
  };
  for (const TCase& c : cases) {
    WriteIni(c.Ini);
    TPondardConfig config;
    config.LoadFromIni();
    EXPECT_EQ(config.Name, c.Name) << c.What;
    EXPECT_EQ(config.UdpPort, c.UdpPort) << c.What;
  }
}

// A value is seen through 2047 characters at most: the tail of a longer one is ignored.
TEST_F(ConfigTest, LoadFromIni_IntegerLongerThan2047_Cut) {
  // 2047 zeros then "5": only the zeros are seen, so the port becomes 0, not 5.
  WriteIni("[Network]\nUdpPort=" + std::string(2047, '0') + "5\nTcpPort=" +
           std::string(2046, '0') + "9\n");
  TPondardConfig config;
  config.LoadFromIni();
  EXPECT_EQ(config.UdpPort, 0);
  EXPECT_EQ(config.TcpPort, 9);  // exactly 2047 characters: all seen
  // A bad tail past the cut does not spoil the value.
  WriteIni("[Network]\nUdpPort=" + std::string(2046, '0') + "8x\n");
  config.LoadFromIni();
  EXPECT_EQ(config.UdpPort, 8);
  // 3000 digits: what is seen is still far too large to be an integer.
  WriteIni("[Network]\nUdpPort=" + std::string(3000, '9') + "\n");
  config.UdpPort = 4321;
  config.LoadFromIni();
  EXPECT_EQ(config.UdpPort, 4321);
}

TEST_F(ConfigTest, LoadFromIni_NameLongerThan2047_CutToValidLength) {
  WriteIni("[General]\nName=" + std::string(2047, 'a') + "bbb\n");
  TPondardConfig config;
  config.LoadFromIni();
  EXPECT_EQ(config.Name, std::string(2047, 'a'));
  // Two-byte characters count as one each and are never split.
  std::string utf8;
  for (int i = 0; i < 2100; ++i) utf8 += "\xC3\xBC";
  WriteIni("[General]\nName=" + utf8 + "\n");
  config.LoadFromIni();
  EXPECT_EQ(config.Name, utf8.substr(0, 2047 * 2));
}

// A folder path of more than 2047 characters is seen only up to character 2047.
TEST_F(ConfigTest, LoadFromIni_FolderLongerThan2047_CutPathUsed) {
  // Build nested folders so that character 2047 ends exactly at a folder boundary.
  fs::path cut = Box.Path();
  while (2047 - cut.string().size() > 202) cut /= std::string(200, 'd');
  cut /= std::string(2047 - cut.string().size() - 1, 'e');
  ASSERT_EQ(cut.string().size(), 2047u);
  const fs::path full = cut / std::string(100, 'f') / std::string(100, 'g');
  fs::create_directories(full);
  WriteIni("[FileSharing]\nFolder=" + full.string() + "\n");
  TPondardConfig config;
  config.Folder = "/before";
  config.LoadFromIni();
  EXPECT_EQ(config.Folder, cut.string());

  // A cut in the middle of a folder name names nothing: the folder stays as it was.
  const fs::path longLeaf = cut.parent_path() / std::string(240, 'h');
  fs::create_directories(longLeaf);
  ASSERT_GT(longLeaf.string().size(), 2047u);
  WriteIni("[FileSharing]\nFolder=" + longLeaf.string() + "\n");
  config.Folder = "/before";
  config.LoadFromIni();
  EXPECT_EQ(config.Folder, "/before");
}

TEST_F(ConfigTest, LoadFromIni_Folder_OnlyExistingDirectoryAsWritten) {
  fs::create_directories(Box.Path() / "a" / "b");
  Box.Write("plain.txt", "x");
  TPondardConfig config;
  config.Folder = "/before";
  for (const std::string& missing : {Box.Str() + "/nowhere", Box.Str() + "/plain.txt",
                                    std::string()}) {
    WriteIni("[FileSharing]\nFolder=" + missing + "\n");
    config.LoadFromIni();
    EXPECT_EQ(config.Folder, "/before") << missing;
  }
  const std::string asWritten = Box.Str() + "/a/./b/../b/";
  WriteIni("[FileSharing]\nFolder=" + asWritten + "\n");
  config.LoadFromIni();
  EXPECT_EQ(config.Folder, asWritten);
}

// ---- ApplyCommandLine ----

// Command lines through the settings, from a name and a folder set before: what they change,
// what the program says of their values, and which arguments it names as unknown.
TEST_F(ConfigTest, ApplyCommandLine_Table) {
  fs::create_directories(Box.Path() / "share" / "sub");
  fs::create_directories(Box.Path() / "abs");
  Box.Write("file.txt", "x");
  fs::current_path(Box.Path());
  const std::string abs = (Box.Path() / "abs").string();
  const auto ignored = [](const std::string& AOption, const std::string& AValue) {
    return AOption + " " + AValue + ": not an integer of 32 bits, option ignored";
  };
  const struct {
    std::vector<std::string> Args;
    std::function<void(TPondardConfig&)> Change;
    std::vector<std::string> Said;  // notes on values, then "unknown " and each unknown argument
  } cases[] = {
      // The walk moves on one argument at a time: a value is looked at as an option too.
      {{"--name", "--sound"}, [](auto& c) { c.Name = "--sound"; c.Sound = true; }, {}},
      {{"--name", "--udp-port", "5", "--name", "--clipboard"},
       [](auto& c) { c.Name = "--clipboard"; c.UdpPort = 5; c.Clipboard = true; }, {}},
      {{"--tcp-port", "--udp-port", "7"}, [](auto& c) { c.UdpPort = 7; },
       {ignored("--tcp-port", "--udp-port")}},
      {{"--name", "--name", "x", "stray"}, [](auto& c) { c.Name = "x"; }, {"unknown stray"}},
      // Given last, an option that takes a value has none.
      {{"--udp-port"}, {}, {}}, {{"--tcp-port"}, {}, {}}, {{"--name"}, {}, {}},
      {{"--folder"}, {}, {}},
      // Ports as the settings file reads them; what is said is what is done.
      {{"--udp-port", "0x1F", "--tcp-port", "65537"},
       [](auto& c) { c.UdpPort = 31; c.TcpPort = 1; },
       {"--tcp-port 65537: beyond 0 to 65535, its low 16 bits give 1"}},
      {{"--udp-port", "abc", "--tcp-port", "", "--udp-port"}, {},
       {ignored("--udp-port", "abc"), ignored("--tcp-port", "")}},
      {{"--udp-port", "-1"}, [](auto& c) { c.UdpPort = 65535; },
       {"--udp-port -1: beyond 0 to 65535, its low 16 bits give 65535"}},
      {{"--udp-port", "08"}, [](auto& c) { c.UdpPort = 8; }, {}},
      {{"--tcp-port", "4294967295"}, {}, {ignored("--tcp-port", "4294967295")}},
      {{"--udp-port", "70000"}, [](auto& c) { c.UdpPort = 4464; },
       {"--udp-port 70000: beyond 0 to 65535, its low 16 bits give 4464"}},
      // Switches only turn on; the program's own change no setting; case counts.
      {{"--sound", "--clipboard"}, [](auto& c) { c.Sound = true; c.Clipboard = true; }, {}},
      {{"--headless", "--in-pondar-folder", "--version", "--help", "-h", "--new-key"}, {}, {}},
      // The key file: kept by its absolute path, never read into the settings' key.
      {{"--key-file", "file.txt"}, [&](auto& c) { c.NetworkKeyFile = Box.Str() + "/file.txt"; },
       {}},
      {{"--key-file", "nowhere"}, [&](auto& c) { c.NetworkKeyFile = Box.Str() + "/nowhere"; },
       {"--key-file nowhere: cannot be read: the peer stays off the network"}},
      {{"--Sound", "-sound", "--CLIPBOARD", "sound", "--no-file-sharing", "--screen", "--Name",
        "x", "--sound=1", "--udp-port=5", ""},
       {},
       {"unknown --Sound", "unknown -sound", "unknown --CLIPBOARD", "unknown sound",
        "unknown --no-file-sharing", "unknown --screen", "unknown --Name", "unknown x",
        "unknown --sound=1", "unknown --udp-port=5", "unknown "}},
      // Folders: existing directories only, made absolute and lexically normal.
      {{"--folder", "share/./sub/.."}, [&](auto& c) { c.Folder = Box.Str() + "/share"; }, {}},
      {{"--folder", "share/sub/"}, [&](auto& c) { c.Folder = Box.Str() + "/share/sub"; }, {}},
      {{"--folder", "."}, [&](auto& c) { c.Folder = Box.Str(); }, {}},
      {{"--folder", abs}, [&](auto& c) { c.Folder = abs; }, {}},
      {{"--folder", "/"}, [](auto& c) { c.Folder = "/"; }, {}},
      {{"--folder", "nowhere", "--folder", "file.txt", "--folder", ""}, {},
       {"--folder nowhere: no such folder, option ignored",
        "--folder file.txt: no such folder, option ignored",
        "--folder : no such folder, option ignored"}},
  };
  TPondardConfig start;
  start.Name = "kept";
  start.Folder = "/before";
  for (const auto& c : cases) {
    std::string line;
    for (const auto& arg : c.Args) line += " [" + arg + "]";
    SCOPED_TRACE(line);
    TPondardConfig config = start, expected = start;
    if (c.Change) c.Change(expected);
    std::vector<std::string> said = config.ApplyCommandLine(c.Args);
    for (const auto& arg : Pondard::App::UnknownArguments(c.Args)) said.push_back("unknown " + arg);
    EXPECT_EQ(config, expected);
    EXPECT_EQ(said, c.Said);
  }
}

TEST_F(ConfigTest, Init_FolderFromIniThenCommandLine) {
  fs::create_directories(Box.Path() / "from-ini");
  fs::create_directories(Box.Path() / "from-cli");
  WriteIni("[FileSharing]\nFolder=" + (Box.Path() / "from-ini").string() + "\n");
  EXPECT_EQ(InitWith().Folder, (Box.Path() / "from-ini").string());
  EXPECT_EQ(InitWith({"--folder", (Box.Path() / "from-cli").string()}).Folder,
            (Box.Path() / "from-cli").string());
  EXPECT_EQ(InitWith({"--folder", (Box.Path() / "missing").string()}).Folder,
            (Box.Path() / "from-ini").string());
}

// ---- SaveToIni ----

TEST_F(ConfigTest, SaveToIni_NoFolderYet_CreatesFoldersAndNineKeys) {
  const fs::path appData = Box.Path() / "deep" / "app data";
  FAppData.Set(appData.string());
  TPondardConfig config;
  config.Name = "saved-desk";
  config.Folder = "/srv/shared folder";
  config.UdpPort = 8100;
  config.TcpPort = 0;  // written like any other value
  config.Sound = true;
  config.FileSharing = false;
  config.Clipboard = true;
  config.ScreenBroadcast = false;
  config.ScreenReceive = true;
  config.SaveToIni();

  const fs::path file = appData / "Pondar" / "pondard.ini";
  ASSERT_TRUE(fs::is_regular_file(file));
  const TIniText ini = ReadIniText(Box.Read("deep/app data/Pondar/pondard.ini"));
  const std::map<std::string, std::map<std::string, std::string>> expected = {
      {"General", {{"Name", "saved-desk"}, {"Sound", "1"}}},
      {"FileSharing", {{"Enabled", "0"}, {"Folder", "/srv/shared folder"}}},
      {"Clipboard", {{"Enabled", "1"}}},
      {"Screen", {{"Broadcast", "0"}, {"Receive", "1"}}},
      {"Network", {{"UdpPort", "8100"}, {"TcpPort", "0"}}},
  };
  EXPECT_EQ(ini.Values, expected);
  EXPECT_EQ(ini.SectionOrder,
            (std::vector<std::string>{"General", "FileSharing", "Clipboard", "Screen", "Network"}));
  EXPECT_EQ(FilesIn(appData / "Pondar"), std::set<std::string>{"pondard.ini"});
}

TEST_F(ConfigTest, SaveToIni_ExistingFile_OtherKeysKeptAndKeysUpdatedInPlace) {
  WriteIni("; settings of this desk\n"
           "[network]\n"
           "udpport=1\n"
           "Proxy=none\n"
           "\n"
           "[Custom]\n"
           "Colour=blue\n"
           "Colour=green\n"
           "\n"
           "[General]\n"
           "Name=old-name\n"
           "Theme=dark\n");
  TPondardConfig config;
  config.Name = "new-name";
  config.UdpPort = 7000;
  config.SaveToIni();

  const std::string text = ReadIni();
  const TIniText ini = ReadIniText(text);
  EXPECT_NE(text.find("; settings of this desk"), std::string::npos);
  // Sections that were there keep their place; new ones follow.
  EXPECT_EQ(ini.SectionOrder,
            (std::vector<std::string>{"network", "Custom", "General", "FileSharing", "Clipboard",
                                      "Screen"}));
  EXPECT_EQ(ini.Values.at("network").at("Proxy"), "none");
  EXPECT_EQ(ini.KeyCount.at("Custom/Colour"), 2);
  EXPECT_EQ(ini.Values.at("General").at("Theme"), "dark");
  EXPECT_EQ(ini.Values.at("General").at("Name"), "new-name");
  EXPECT_EQ(ini.KeyCount.at("General/Name"), 1);
  // The existing key, whatever its spelling, holds the new value; there is no second copy.
  int udpKeys = 0;
  std::string udpValue;
  for (const auto& [key, value] : ini.Values.at("network")) {
    std::string lower = key;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    if (lower == "udpport") {
      ++udpKeys;
      udpValue = value;
    }
  }
  EXPECT_EQ(udpKeys, 1);
  EXPECT_EQ(udpValue, "7000");

  TPondardConfig loaded;
  loaded.LoadFromIni();
  EXPECT_EQ(loaded.Name, "new-name");
  EXPECT_EQ(loaded.UdpPort, 7000);
  EXPECT_EQ(FilesIn(IniPath().parent_path()), std::set<std::string>{"pondard.ini"});
}

// The portal's token is the file's: written alone when the desktop hands out a new one, and
// left as it is by the window's Apply, whose settings never hold the newest.
TEST_F(ConfigTest, SaveScreenRestoreToken_OnlyTheTokenChanges_SaveToIniKeepsIt) {
  WriteIni("[Screen]\nBroadcast=1\nrestoretoken=old\n[General]\nName=desk\n");
  Pondard::App::SaveScreenRestoreToken("new-token");
  TIniText ini = ReadIniText(ReadIni());
  EXPECT_EQ(ini.SectionOrder, (std::vector<std::string>{"Screen", "General"}));
  EXPECT_EQ(ini.Values.at("Screen"), (std::map<std::string, std::string>{
                                         {"Broadcast", "1"}, {"RestoreToken", "new-token"}}));
  EXPECT_EQ(ini.Values.at("General").at("Name"), "desk");

  TPondardConfig config;
  config.Name = "applied";
  config.ScreenRestoreToken = "stale";
  config.SaveToIni();
  config.LoadFromIni();
  EXPECT_EQ(config.ScreenRestoreToken, "new-token");
  EXPECT_EQ(config.Name, "applied");
}

// A file that holds a network key is its owner's alone, however it came to hold one; without a
// key the mode is the user's choice.
TEST_F(ConfigTest, SaveToIni_ModeKept_OwnersAloneOnceItHoldsAKey) {
  const struct {
    const char* What;
    const char* Before;  // the file before, nullptr for none
    mode_t BeforeMode;
    const char* Key;
    bool TokenAfter;  // then SaveScreenRestoreToken, which must keep the mode too
    mode_t After;
  } cases[] = {
      {"no key: the mode kept", "[General]\nName=x\n", 0640, "", false, 0640},
      {"a key: owner only", "[General]\nName=x\n", 0644, "correct horse", true, 0600},
      {"a key in a new file", nullptr, 0, "correct horse", false, 0600},
      {"a key, owner may only read", "[Network]\nKey=old key 1\n", 0400, "new key 22", false,
       0400},
      {"the key taken out: the mode stays", "[Network]\nKey=old key 1\n", 0600, "", true, 0600},
  };
  for (const auto& c : cases) {
    std::error_code ec;
    fs::remove(IniPath(), ec);
    if (c.Before) {
      WriteIni(c.Before);
      ASSERT_EQ(::chmod(IniPath().c_str(), c.BeforeMode), 0) << c.What;
    }
    TPondardConfig config;
    config.NetworkKey = c.Key;
    config.SaveToIni();
    if (c.TokenAfter) Pondard::App::SaveScreenRestoreToken("token");
    struct stat st {};
    ASSERT_EQ(::stat(IniPath().c_str(), &st), 0) << c.What;
    EXPECT_EQ(st.st_mode & 07777, c.After) << c.What;
    TPondardConfig loaded;
    loaded.LoadFromIni();
    EXPECT_EQ(loaded.NetworkKey, c.Key) << c.What;
    EXPECT_EQ(ReadIni().find("Key=") != std::string::npos, *c.Key != 0) << c.What;
  }
}

TEST_F(ConfigTest, SaveToIni_SymlinkedFile_LinkKeptTargetUpdated) {
  const fs::path real = Box.Write("dotfiles/pondard.ini", "[Extra]\nKeep=1\n");
  fs::create_directories(IniPath().parent_path());
  fs::create_symlink(real, IniPath());
  TPondardConfig config;
  config.Name = "linked";
  config.SaveToIni();
  EXPECT_TRUE(fs::is_symlink(IniPath()));
  const TIniText ini = ReadIniText(Box.Read("dotfiles/pondard.ini"));
  EXPECT_EQ(ini.Values.at("General").at("Name"), "linked");
  EXPECT_EQ(ini.Values.at("Extra").at("Keep"), "1");
}

// A file where the settings folder should be, or a folder where the file should be: the error
// names the file, and nothing is left behind.
TEST_F(ConfigTest, SaveToIni_PathBlocked_ThrowsExactMessageAndLeavesNoTemporary) {
  const fs::path blocker = Box.Write("blocker", "not a folder");
  for (const bool fileForFolder : {true, false}) {
    FAppData.Set(fileForFolder ? blocker.string() : Box.Str());
    if (!fileForFolder) fs::create_directories(IniPath());
    const fs::path file = ConfigFilePath();
    std::string message;
    try {
      TPondardConfig().SaveToIni();
    } catch (const std::runtime_error& e) {
      message = e.what();
    }
    EXPECT_EQ(message, "Unable to write to " + file.string());
    if (fileForFolder) continue;
    EXPECT_TRUE(fs::is_directory(file));
    EXPECT_EQ(FilesIn(file.parent_path()), std::set<std::string>{"pondard.ini"});
  }
  EXPECT_EQ(Box.Read("blocker"), "not a folder");
  EXPECT_EQ(FilesIn(Box.Path()), (std::set<std::string>{"Pondar", "blocker"}));
}

// A write that fails half way (here: the file size limit is hit) leaves the old file whole and
// removes the temporary file.
TEST_F(ConfigTest, SaveToIni_WriteFailsHalfway_OldFileWholeNoTemporary) {
  const std::string old = "[General]\nName=old-desk\n[Keep]\nThis=1\n";
  WriteIni(old);
  TPondardConfig config;
  config.Name = std::string(200, 'n');

  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string message;
  try {
    config.SaveToIni();
  } catch (const std::runtime_error& e) {
    message = e.what();
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(message, "Unable to write to " + IniPath().string());
  EXPECT_EQ(ReadIni(), old);
  EXPECT_EQ(FilesIn(IniPath().parent_path()), std::set<std::string>{"pondard.ini"});
}

}  // namespace
