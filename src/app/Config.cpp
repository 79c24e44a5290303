#include "app/Config.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "app/Options.h"

// Only the narrow-character reader is used and the file is kept in UTF-8 as it is, so no
// character conversion library is needed. Debian's header keeps the template bodies behind
// SI_IMPLEMENTATION; taking them here keeps the program free of a run-time library for them.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

namespace fs = std::filesystem;

namespace Pondard::App {

namespace {

constexpr std::array<std::string_view, 32> Adjectives = {
    "fast", "calm", "bold", "warm", "cool", "keen", "wise", "wild", "soft", "dark", "tall",
    "deep", "fair", "good", "kind", "pure", "rich", "safe", "true", "vast", "free", "glad",
    "just", "neat", "rare", "slim", "sure", "tidy", "wary", "mild", "pale", "deft"};
constexpr std::array<std::string_view, 32> Animals = {
    "fox", "owl", "elk", "bee", "cat", "dog", "bat", "ant", "yak", "emu", "jay",
    "ram", "cod", "hen", "ape", "cow", "pig", "rat", "fly", "bug", "wren", "deer",
    "swan", "toad", "wolf", "bear", "lynx", "mole", "hare", "seal", "crab", "dove"};

std::string EnvValue(const char* AName) {
  const char* value = std::getenv(AName);
  return value ? std::string(value) : std::string();
}

// "dir" + "/" unless it already ends in one.
std::string WithSlash(std::string ADir) {
  if (ADir.empty() || ADir.back() != '/') ADir += '/';
  return ADir;
}

std::string HomeFolder() {
  std::string home = EnvValue("HOME");
  if (!home.empty()) return home;
  std::array<char, 4096> buf{};
  struct passwd pw {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
      found->pw_dir)
    return found->pw_dir;
  return std::string();
}

// The value as the Windows profile reader would hand it over: at most MaxIniValueChars
// characters. Characters are counted as UTF-8 sequences, so a multi-byte character is never split.
std::string CutIniValue(std::string_view AValue) {
  size_t chars = 0;
  for (size_t i = 0; i < AValue.size(); ++i) {
    const auto byte = static_cast<unsigned char>(AValue[i]);
    if ((byte & 0xC0) == 0x80) continue;  // continuation byte: same character
    if (chars == MaxIniValueChars) return std::string(AValue.substr(0, i));
    ++chars;
  }
  return std::string(AValue);
}

// Reads a whole file. False when it is missing, is no regular readable file, or a read fails.
// Opening does not block, so a FIFO left where the file should be cannot hang the program.
bool ReadWholeFile(const std::string& APath, std::string& AOut) {
  const int fd = ::open(APath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  AOut.clear();
  std::array<char, 65536> buf;
  for (;;) {
    const ssize_t got = ::read(fd, buf.data(), buf.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    if (got == 0) break;
    AOut.append(buf.data(), static_cast<size_t>(got));
  }
  ::close(fd);
  return true;
}

bool WriteAll(int AFd, const std::string& AData) {
  size_t done = 0;
  while (done < AData.size()) {
    const ssize_t put = ::write(AFd, AData.data() + done, AData.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(put);
  }
  return true;
}

// The reader used for the settings file: UTF-8 kept as it is, sections and keys compared without
// regard to ASCII case as on Windows. Duplicate keys are kept as they are in the file, so the
// first one is the one read (as on Windows) and nothing of the file is lost on saving.
void SetUpIni(CSimpleIniA& AIni) {
  AIni.SetUnicode(true);
  AIni.SetMultiKey(true);
  AIni.SetMultiLine(false);
  AIni.SetSpaces(false);
}

// The host's name as Windows would give it for COMPUTERNAME: the first label only.
std::string ShortHostName() {
  std::array<char, 256> buf{};
  if (::gethostname(buf.data(), buf.size() - 1) != 0) return std::string();
  std::string name(buf.data());
  const size_t dot = name.find('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

}  // namespace

std::optional<int32_t> ParseInteger(std::string_view AText) {
  const bool hex = AText.size() > 2 && AText[0] == '0' && (AText[1] == 'x' || AText[1] == 'X');
  if (hex) AText.remove_prefix(2);
  // from_chars reads a '-' in either base and never a '+': one '+' is allowed before decimals.
  if (hex && AText.starts_with('-')) return std::nullopt;
  if (!hex && AText.starts_with('+') && !AText.starts_with("+-")) AText.remove_prefix(1);
  int64_t value = 0;
  const char* end = AText.data() + AText.size();
  const auto [stop, error] = std::from_chars(AText.data(), end, value, hex ? 16 : 10);
  if (AText.empty() || error != std::errc() || stop != end) return std::nullopt;
  if (hex ? value > 0xFFFFFFFFll : (value < INT32_MIN || value > INT32_MAX)) return std::nullopt;
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

uint16_t PortFromInteger(int32_t AValue) {
  return static_cast<uint16_t>(static_cast<uint32_t>(AValue));
}

std::string ConfigFilePath() {
  std::string base = EnvValue("APPDATA");
  if (base.empty()) {
    // The XDG base directory rules ignore a relative XDG_CONFIG_HOME.
    base = EnvValue("XDG_CONFIG_HOME");
    if (base.empty() || base.front() != '/') base = WithSlash(HomeFolder()) + ".config";
  }
  return WithSlash(base) + "Pondar/pondard.ini";
}

RawUtf8 RandomPeerName() {
  // A generator reseeded from the clock at every draw would hand out equal names for draws in
  // the same clock tick. What matters is uniform, independent draws, so both words come from the
  // system's random source.
  std::random_device source;
  std::uniform_int_distribution<size_t> pick(0, 31);
  const size_t adjective = pick(source);
  const size_t animal = pick(source);
  RawUtf8 name(Adjectives[adjective]);
  name += '-';
  name += Animals[animal];
  return name;
}

bool IsValidPeerName(const RawUtf8& AName) {
  for (const char c : AName) {
    const bool ok = c == '-' || c == '_' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                    (c >= 'a' && c <= 'z');
    if (!ok) return false;
  }
  return true;
}

bool UsableAsPeerName(const RawUtf8& AName) {
  return AName.size() <= MaxPeerNameBytes && IsValidPeerName(AName);
}

void TPondardConfig::Init(const std::vector<std::string>& AArgs) {
  *this = TPondardConfig{};
  std::error_code ec;
  const fs::path cwd = fs::current_path(ec);
  Folder = ec ? std::string() : cwd.string();

  LoadFromIni();
  ApplyCommandLine(AArgs);

  if (Name.empty()) {
    std::string computer = EnvValue("COMPUTERNAME");
    if (computer.empty()) computer = ShortHostName();
    Name = !computer.empty() && UsableAsPeerName(computer) ? computer : RandomPeerName();
  }
  if (!UsableAsPeerName(Name)) Name = RandomPeerName();
}

void TPondardConfig::LoadFromIni() {
  std::string data;
  if (!ReadWholeFile(ConfigFilePath(), data)) return;  // missing or unreadable: nothing changes
  CSimpleIniA ini;
  SetUpIni(ini);
  if (ini.LoadData(data) < 0) return;

  const auto text = [&](const char* ASection, const char* AKey) -> std::optional<std::string> {
    const char* value = ini.GetValue(ASection, AKey, nullptr);
    if (!value) return std::nullopt;
    return CutIniValue(value);
  };
  const auto integer = [&](const char* ASection, const char* AKey) -> std::optional<int32_t> {
    const auto value = text(ASection, AKey);
    return value ? ParseInteger(*value) : std::nullopt;
  };
  const auto readBool = [&](const char* ASection, const char* AKey, bool& AField) {
    if (const auto value = integer(ASection, AKey)) AField = *value != 0;
  };
  const auto readPort = [&](const char* ASection, const char* AKey, uint16_t& AField) {
    if (const auto value = integer(ASection, AKey)) AField = PortFromInteger(*value);
  };

  Name = text("General", "Name").value_or(std::string());
  readBool("General", "Sound", Sound);
  readBool("FileSharing", "Enabled", FileSharing);
  const std::string folder = text("FileSharing", "Folder").value_or(std::string());
  std::error_code ec;
  if (!folder.empty() && fs::is_directory(folder, ec)) Folder = folder;
  readBool("Clipboard", "Enabled", Clipboard);
  readBool("Screen", "Broadcast", ScreenBroadcast);
  readBool("Screen", "Receive", ScreenReceive);
  ScreenRestoreToken = text("Screen", "RestoreToken").value_or(std::string());
  readPort("Network", "UdpPort", UdpPort);
  readPort("Network", "TcpPort", TcpPort);
  NetworkKey = text("Network", "Key").value_or(std::string());
}

namespace {

// One writer at a time: the window applying settings and the screen source storing its token
// each read the file, change their keys and rename a new file over it.
std::mutex GIniWriteLock;

// Reads the settings file, lets AChange set its keys, and writes it back as SaveToIni says.
void RewriteIni(
    const std::function<void(CSimpleIniA& AIni, const std::string& AFailure)>& AChange) {
  const std::lock_guard lock(GIniWriteLock);
  const std::string path = ConfigFilePath();
  const std::string failure = "Unable to write to " + path;

  // A settings file that is a link (to a dotfile repository, say) stays a link: the new content
  // replaces the file it points to.
  fs::path target = path;
  std::error_code ec;
  if (fs::is_symlink(target, ec)) {
    const fs::path real = fs::canonical(target, ec);
    if (!ec) target = real;
  }
  const fs::path dir = target.parent_path();
  fs::create_directories(dir, ec);
  if (ec) throw std::runtime_error(failure);

  CSimpleIniA ini;
  SetUpIni(ini);
  struct stat old {};
  const bool existed = ::stat(target.c_str(), &old) == 0;
  if (existed) {
    // Replacing a file we could not read would throw away the sections and keys we keep.
    std::string data;
    if (!ReadWholeFile(target.string(), data) || ini.LoadData(data) < 0)
      throw std::runtime_error(failure);
  }

  AChange(ini, failure);
  // A key gives whoever reads it the run of the shared folder: such a file is its owner's alone,
  // from the moment the new content exists.
  const char* key = ini.GetValue("Network", "Key", nullptr);
  const bool secret = key && *key;

  std::string content;
  if (ini.Save(content, false) < 0) throw std::runtime_error(failure);

  // The new content goes to a fresh file in the same folder, so the rename below is atomic and
  // a failed write never leaves a half-written settings file.
  std::random_device source;
  std::string tempPath;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    std::string name = ".";
    name.append(target.filename().string()).append(".").append(std::to_string(source()));
    name.append(".tmp");
    tempPath = (dir / name).string();
    fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, secret ? 0600 : 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) throw std::runtime_error(failure);

  bool ok = WriteAll(fd, content);
  if (ok && existed) ok = ::fchmod(fd, old.st_mode & (secret ? 0600 : 07777)) == 0;
  if (ok) ok = ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (ok) ok = ::rename(tempPath.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(tempPath.c_str());
    throw std::runtime_error(failure);
  }
  // Make the rename itself durable; a failure here no longer endangers the file.
  const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
}

void PutIniValue(CSimpleIniA& AIni, const std::string& AFailure, const char* ASection,
                 const char* AKey, const std::string& AValue) {
  // Replacing collapses duplicates of the key into one entry in the place of the first.
  if (AIni.SetValue(ASection, AKey, AValue.c_str(), nullptr, true) < 0)
    throw std::runtime_error(AFailure);
}

}  // namespace

void TPondardConfig::SaveToIni() const {
  RewriteIni([this](CSimpleIniA& AIni, const std::string& AFailure) {
    const auto put = [&](const char* ASection, const char* AKey, const std::string& AValue) {
      PutIniValue(AIni, AFailure, ASection, AKey, AValue);
    };
    const auto flag = [](bool AValue) { return std::string(AValue ? "1" : "0"); };
    put("General", "Name", Name);
    put("General", "Sound", flag(Sound));
    put("FileSharing", "Enabled", flag(FileSharing));
    put("FileSharing", "Folder", Folder);
    put("Clipboard", "Enabled", flag(Clipboard));
    put("Screen", "Broadcast", flag(ScreenBroadcast));
    put("Screen", "Receive", flag(ScreenReceive));
    put("Network", "UdpPort", std::to_string(UdpPort));
    put("Network", "TcpPort", std::to_string(TcpPort));
    if (!NetworkKey.empty())
      put("Network", "Key", NetworkKey);
    else
      AIni.Delete("Network", "Key", true);
  });
}

void SaveScreenRestoreToken(const std::string& AToken) {
  RewriteIni([&](CSimpleIniA& AIni, const std::string& AFailure) {
    PutIniValue(AIni, AFailure, "Screen", "RestoreToken", AToken);
  });
}

std::vector<std::string> TPondardConfig::ApplyCommandLine(const std::vector<std::string>& AArgs) {
  std::vector<std::string> notes;
  for (size_t i = 0; i < AArgs.size(); ++i) {
    const TOption* option = FindOption(AArgs[i]);
    // Unknown, one of the program's own, or without the value it takes. The value is not
    // consumed: the next step looks at it as an option of its own.
    if (!option || !option->Apply || (option->TakesValue() && i + 1 == AArgs.size())) continue;
    const std::string value = option->TakesValue() ? AArgs[i + 1] : std::string();
    const std::string note = option->Apply(*this, value);
    if (!note.empty()) notes.push_back(std::string(option->Name) + " " + value + ": " + note);
  }
  return notes;
}

bool TPondardConfig::ReadNetworkKey(std::string& AKey, std::string& AError) const {
  if (NetworkKeyFile.empty()) {
    AKey = NetworkKey;
    return true;
  }
  std::string content;
  if (!ReadWholeFile(NetworkKeyFile, content)) {
    AError = "the key file " + NetworkKeyFile + " cannot be read";
    return false;
  }
  AKey = std::move(content);
  return true;
}

}  // namespace Pondard::App
