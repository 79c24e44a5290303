// A peer's side in tests: a real TCP server over a folder of its own, with a list that the test
// fills (and may doctor) by hand. Entries is what the server lists from Start on; a test that
// changes it afterwards, other than through Put, calls Publish.
#pragma once

#include <memory>
#include <string>

#include "core/Types.h"
#include "fs/FileList.h"
#include "net/TcpServer.h"
#include "support/TestSupport.h"

namespace PondarTest {

class TServedFolder {
 public:
  ~TServedFolder() { Stop(); }

  // Writes the file with the given whole-second time and lists it, replacing an entry of the
  // same path; returns the entry so a test can change what the list claims.
  Pondar::Core::TFileEntry& Put(const std::string& ARelPath, const std::string& AContent,
                                int64_t AUnixSeconds) {
    SetMTime(Folder.Write(ARelPath, AContent), AUnixSeconds);
    std::erase_if(Entries, [&](const auto& AEntry) { return AEntry.RelPath == ARelPath; });
    Entries.push_back(
        {ARelPath, static_cast<int64_t>(AContent.size()), DayCount(AUnixSeconds), ""});
    if (Server) Publish();
    return Entries.back();
  }
  void Publish() { Files->Replace(Entries); }
  // Makes the server (port 0), so that a test may bind events before Start.
  Pondar::Net::TTcpServerThread& Create() {
    Server = std::make_unique<Pondar::Net::TTcpServerThread>(0, Folder.Str(), Files);
    return *Server;
  }
  // Starts the server (made now when Create was not called) and returns its port once bound.
  uint16_t Start() {
    if (!Server) Create();
    Publish();
    Server->Start();
    WaitFor([&] { return Server->BoundPort() != 0; });
    return Server->BoundPort();
  }
  void Stop() {
    if (!Server) return;
    Server->Terminate();
    Server->WaitFor();
  }

  TSandbox Folder;
  Pondar::Core::TFileEntries Entries;
  std::shared_ptr<Pondar::Fs::TFileList> Files = std::make_shared<Pondar::Fs::TFileList>();
  std::unique_ptr<Pondar::Net::TTcpServerThread> Server;
};

}  // namespace PondarTest
