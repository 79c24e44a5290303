// The server over real loopback sockets: hand-made requests from raw clients, replies checked
// byte for byte, events checked as raised.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fs/FileList.h"
#include "net/Outbox.h"
#include "net/TcpServer.h"
#include "net/Transfer.h"
#include "support/Bytes.h"
#include "support/Keyed.h"
#include "support/RawSockets.h"
#include "support/Recorder.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Pondar::Core::TBytes;
using Pondar::Core::TFileEntries;
using Pondar::Core::TFileEntry;
using Pondar::Net::TSocket;
using Pondar::Net::TTcpServerThread;
using PondarTest::Ask;
using PondarTest::B;
using PondarTest::Dial;
using PondarTest::HasInput;
using PondarTest::Le16;
using PondarTest::Le32;
using PondarTest::Le64;
using PondarTest::Loopback;
using PondarTest::RandomText;
using PondarTest::ReadExactly;
using PondarTest::ReadUntilClosed;
using PondarTest::SendRaw;
using PondarTest::TRecorder;
using PondarTest::TReply;
using Clock = std::chrono::steady_clock;

const TBytes EmptyListReply = B({0x04, 0, 0, 0, 0, 0, 0, 0});
const TBytes MissingReply = B({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});

// What the handlers saw, by kind and all in one line as "delete PATH", "change IP", "text TEXT"
// and "frame NAME PAYLOAD". Shared, so that a handler running too late still has somewhere to
// write and the test can tell.
struct TEvents {
  TRecorder<std::string> Deletes;
  TRecorder<std::string> Changes;
  TRecorder<std::string> Clips;
  TRecorder<std::pair<std::string, TBytes>> Frames;
  TRecorder<std::string> All;
};

// Keys by seed; 0: none (plain).
std::shared_ptr<const Pondar::Net::TTlsContext> KeyOf(uint8_t ASeed) {
  return ASeed == 0 ? nullptr : PondarTest::TestTls(ASeed);
}

class TcpServerTest : public ::testing::Test {
 protected:
  PondarTest::TSandbox Root;
  std::shared_ptr<Pondar::Fs::TFileList> Files = std::make_shared<Pondar::Fs::TFileList>();
  std::shared_ptr<TEvents> Events = std::make_shared<TEvents>();
  std::unique_ptr<TTcpServerThread> Server;
  uint16_t Port = 0;
  uint8_t Key = 0;  // the server's key by seed (KeyOf), and Send's

  void TearDown() override { Server.reset(); }

  void StartServer(int ALimitMs = Pondar::Net::ServerTimeoutMs, bool AWithFrames = true,
                   uint16_t APort = 0) {
    Server = std::make_unique<TTcpServerThread>(APort, Root.Str(), Files);
    Server->SetRequestTimeLimit(ALimitMs);
    Server->SetTls(KeyOf(Key));
    auto events = Events;
    Server->OnDeleteNotify = [events](const std::string& APath) {
      events->Deletes.Add(APath);
      events->All.Add("delete " + APath);
    };
    Server->OnChangesNotify = [events](const std::string& AIp) {
      events->Changes.Add(AIp);
      events->All.Add("change " + AIp);
    };
    Server->OnClipboardNotify = [events](const std::string& AText) {
      events->Clips.Add(AText);
      events->All.Add("text " + AText);
    };
    if (AWithFrames) {
      Server->OnScreenFrame = [events](const std::string&, const std::string& AName,
                                       const TBytes& AData) {
        events->Frames.Add({AName, AData});
        events->All.Add("frame " + AName + " " + std::string(AData.begin(), AData.end()));
      };
    }
    Server->Start();
    ASSERT_TRUE(PondarTest::WaitFor([&] { return Server->BoundPort() != 0; }));
    Port = Server->BoundPort();
  }

  // Ask, inside TLS when the server is keyed.
  TReply Send(const TBytes& ARequest, std::chrono::milliseconds ATimeout = 5s) {
    return PondarTest::AskKeyed(Port, ARequest, KeyOf(Key), ATimeout);
  }

  // The server still answers: an empty-list request gets the exact empty reply.
  void ExpectStillServing() {
    const TReply reply = Send(B({0x01}));
    EXPECT_TRUE(reply.Closed);
    EXPECT_EQ(reply.Bytes, EmptyListReply);
  }
};

// Every request type's exact reply, plain and keyed: the refusals come first, so that the rows
// after them show the server still serving.
TEST_F(TcpServerTest, EveryRequestGetsItsExactReplyOrIsClosed_PlainAndKeyed) {
  Files->Store({"a.txt", 5, 1.5, "ab"});
  const std::string big = RandomText(3 * 65536 + 123, 7);
  Root.Write("big.bin", big);
  Root.Write("docs/a.txt", "hello");
  Root.Write("empty", "");
  Root.Write("a..b", "harmless but refused");  // what a server without the check would serve
  std::filesystem::create_directories(Root.Path() / "folder");
  ASSERT_EQ(::mkfifo((Root.Path() / "pipe").c_str(), 0600), 0);
  const TSocket node = PondarTest::BindUnixSocket(Root.Path() / "node");  // opening it fails
  ASSERT_TRUE(node.Valid());
  const PondarTest::TSandbox outside;
  outside.Write("x", "secret");
  const auto get = [](const std::string& APath) { return B({0x02}) + Le16(APath.size()) + APath; };
  struct TCase {
    const char* Name;
    TBytes Request;
    TBytes Reply;
  };
  const TCase cases[] = {
      {"type 0", B({0, 1, 0, 'x'}), {}},
      {"type 7", B({7, 1, 0, 'x'}), {}},
      {"type 255", B({0xFF, 1, 0, 'x'}), {}},
      {"a path out of the folder", get("../" + outside.Path().filename().string() + "/x"), {}},
      {"'..' inside a name", get("a..b"), {}},
      {"'..' alone", get(".."), {}},
      {"a file that cannot be opened", get("node"), {}},
      {"a missing file", get("nothere"), MissingReply},
      {"a folder", get("folder"), MissingReply},
      {"a file in a missing folder", get("nodir/x.y"), MissingReply},
      {"the shared folder itself", get(""), MissingReply},
      {"a fifo", get("pipe"), MissingReply},
      {"a file", get("docs/a.txt"), Le64(5) + std::string("hello")},
      {"a backslash separator", get("docs\\a.txt"), Le64(5) + std::string("hello")},
      {"an empty file", get("empty"), Le64(0)},
      {"a file of many reads", get("big.bin"), Le64(big.size()) + big},
      // 4 + 82 + 5 = 91 bytes of encoding.
      {"the list", B({0x01}),
       B({91, 0, 0, 0}) + B({1, 0, 0, 0}) + B({5, 0}) + std::string("a.txt") +
           B({5, 0, 0, 0, 0, 0, 0, 0}) + B({0, 0, 0, 0, 0, 0, 0xF8, 0x3F}) + std::string("ab") +
           TBytes(62, 0)},
  };
  for (const uint8_t key : {0, 7}) {
    Key = key;
    StartServer();
    for (const TCase& c : cases) {
      const TReply reply = Send(c.Request, 10s);
      EXPECT_TRUE(reply.Closed) << c.Name << (key ? ", keyed" : "");
      EXPECT_EQ(reply.Bytes, c.Reply) << c.Name << (key ? ", keyed" : "");
    }
    Server.reset();
  }
}

TEST_F(TcpServerTest, FileList_EveryChangeOfTheListIsServedAtTheNextRequest) {
  StartServer();
  // The encoding is kept between requests: each kind of change must make it stale.
  const auto listed = [&] {
    const TBytes bytes = Ask(Port, B({0x01})).Bytes;
    return Pondar::Net::DecodeFileList(bytes.data() + 4, bytes.size() - 4);
  };
  Files->Store({"x", 1, 0, ""});
  EXPECT_EQ(listed(), (TFileEntries{{"x", 1, 0, ""}}));
  Files->Store({"X", 2, 0, ""});
  EXPECT_EQ(listed(), (TFileEntries{{"x", 2, 0, ""}}));
  Files->Store({"y", 3, 0, ""});
  EXPECT_EQ(listed().size(), 2u);
  Files->Remove("x");
  EXPECT_EQ(listed(), (TFileEntries{{"y", 3, 0, ""}}));
  Files->Replace({{"z", 4, 0, ""}});
  EXPECT_EQ(listed(), (TFileEntries{{"z", 4, 0, ""}}));
  Files->RemoveAt("z");
  EXPECT_EQ(Ask(Port, B({0x01})).Bytes, EmptyListReply);
}

// Which paths are taken, and how, is the reader's rule (MessagesTest); here, that the server
// raises what the reader takes and nothing it refuses, plain and keyed.
TEST_F(TcpServerTest, NoticesTextsAndFrames_RaiseWhatIsTakenAndNothingElse_PlainAndKeyed) {
  const std::string text = std::string("h\xC3\xA9llo\nw\0rld", 12);
  const std::string name256(256, 'n');
  const auto frame = [](const std::string& AName, const TBytes& APayload) {
    return B({0x06}) + Le16(AName.size()) + AName + Le32(APayload.size()) + APayload;
  };
  struct TCase {
    const char* Name;
    TBytes Request;
    std::string Event;  // as TEvents::All has it; empty: none
  };
  const TCase cases[] = {
      {"a delete", B({0x03, 10, 0}) + std::string("docs/a.txt"), "delete docs/a.txt"},
      {"a delete with backslashes", B({0x03, 11, 0}) + std::string("docs\\b\\c.md"),
       "delete docs/b/c.md"},
      {"a delete out of the folder", B({0x03, 7, 0}) + std::string("../evil"), ""},
      {"a delete of '..'", B({0x03, 2, 0}) + std::string(".."), ""},
      {"a change notice", B({0x04}), "change 127.0.0.1"},
      {"an empty text", B({0x05, 0, 0, 0, 0}), ""},
      {"a text over 100 MiB", B({0x05}) + Le32(104857601), ""},
      {"a text", B({0x05}) + Le32(text.size()) + text, "text " + text},
      {"a frame", frame("alice", B({0, 1, 2, 0xFF, 0, 0x80})),
       "frame alice " + std::string("\0\1\2\xFF\0\x80", 6)},
      {"a frame without a name", frame("", B({42})), "frame  *"},
      {"a frame name of 257 bytes", B({0x06, 0x01, 0x01}) + std::string(257, 'n') + Le32(1), ""},
      {"an empty frame", frame("bob", {}), ""},
      {"a frame over 50 MiB", B({0x06, 3, 0}) + std::string("bob") + Le32(52428801), ""},
      {"a frame name of 256 bytes", frame(name256, B({7})), "frame " + name256 + " \7"},
  };
  for (const uint8_t key : {0, 7}) {
    Key = key;
    Events = std::make_shared<TEvents>();
    StartServer();
    size_t raised = 0;
    for (const TCase& c : cases) {
      // The server closes after handling, and frame receivers raise before they close, so
      // nothing a refused request brought can be raised later.
      EXPECT_TRUE(Send(c.Request).Closed) << c.Name;
      if (c.Event.empty()) {
        EXPECT_EQ(Events->All.Count(), raised) << c.Name << (key ? ", keyed" : "");
        continue;
      }
      ++raised;
      ASSERT_TRUE(PondarTest::WaitFor([&] { return Events->All.Count() >= raised; })) << c.Name;
      EXPECT_EQ(Events->All.All().back(), c.Event) << c.Name << (key ? ", keyed" : "");
    }
    Server.reset();
  }
  // A frame cut short: the sender goes away after 2 of 10 payload bytes.
  Key = 0;
  Events = std::make_shared<TEvents>();
  StartServer();
  TSocket sock = Dial(Port);
  SendRaw(sock, B({0x06, 3, 0}) + std::string("bob") + Le32(10) + B({1, 2}));
  ::shutdown(sock.Fd(), SHUT_WR);
  EXPECT_TRUE(ReadUntilClosed(sock).Closed);
  EXPECT_EQ(Events->All.Count(), 0u);
}

TEST_F(TcpServerTest, Frame_WithoutHandlerIsClosedAtOnce) {
  StartServer(Pondar::Net::ServerTimeoutMs, /*AWithFrames=*/false);
  TSocket sock = Dial(Port);
  // The type byte alone: a server that tried to read the rest would wait for 30 s.
  ASSERT_TRUE(SendRaw(sock, B({0x06})));
  const TReply reply = ReadUntilClosed(sock, 3s);
  EXPECT_TRUE(reply.Closed);
  EXPECT_TRUE(reply.Bytes.empty());
  EXPECT_EQ(Server->FrameReceiverCount(), 0u);
  ExpectStillServing();
}

// ---- threads and time limits ----

// Clients that close, half-close or stay silent before their type byte block nobody, are not
// dropped before their limit, raise nothing, and do not delay the stop.
TEST_F(TcpServerTest, ClientsWithoutTypeByte_BlockNobody_NorTheStop) {
  StartServer();  // full 30 s limit
  ASSERT_TRUE(Dial(Port).Valid());  // closed at once
  TSocket halfClosed = Dial(Port);
  ::shutdown(halfClosed.Fd(), SHUT_WR);  // the server sees the end at once
  const TReply reply = ReadUntilClosed(halfClosed);
  EXPECT_TRUE(reply.Closed);
  EXPECT_TRUE(reply.Bytes.empty());
  TSocket silent = Dial(Port);
  ASSERT_TRUE(silent.Valid());
  const auto asked = Clock::now();
  ExpectStillServing();
  EXPECT_LT(Clock::now() - asked, 2s);
  EXPECT_FALSE(HasInput(silent));  // still open: not dropped before its limit
  EXPECT_EQ(Events->All.Count(), 0u);

  const auto start = Clock::now();
  Server->Terminate();
  Server->WaitFor();
  EXPECT_LT(Clock::now() - start, 200ms);
  EXPECT_FALSE(Server->Running());
}

TEST_F(TcpServerTest, Terminate_BreaksARequestInProgress) {
  Root.Write("big.bin", RandomText(32 << 20, 3));
  // A client that stops reading a file being served, and one that stops halfway through its
  // request: either holds the request thread for the full 30 s limit unless the stop breaks it.
  struct TCase {
    const char* Name;
    TBytes Request;
    size_t ReplyBytesFirst;
  };
  const TCase cases[] = {
      {"reader stalls", B({0x02, 7, 0}) + std::string("big.bin"), 8},
      {"request stalls", B({0x02, 7, 0}) + std::string("big"), 0},
  };
  for (const TCase& c : cases) {
    StartServer();
    TSocket client = Dial(Port);
    ASSERT_TRUE(SendRaw(client, c.Request)) << c.Name;
    if (c.ReplyBytesFirst > 0) {
      ASSERT_EQ(ReadExactly(client, 8, 10s), Le64(32 << 20)) << c.Name;  // serving has begun
    } else {
      std::this_thread::sleep_for(300ms);  // the request thread is waiting for the rest
    }
    const auto start = Clock::now();
    Server->Terminate();
    Server->WaitFor();
    EXPECT_LT(Clock::now() - start, 1s) << c.Name;
    Server.reset();
  }
}

TEST_F(TcpServerTest, SilentClientsBeforeAndAfterTheTypeByteAreDroppedAtTheLimit) {
  StartServer(300);
  TSocket silent = Dial(Port);
  TSocket stalled = Dial(Port);
  ASSERT_TRUE(SendRaw(stalled, B({0x02, 0x05})));  // half the path length, then nothing
  TSocket next = Dial(Port);
  const auto start = Clock::now();
  ASSERT_TRUE(SendRaw(next, B({0x01})));
  const TReply reply = ReadUntilClosed(next, 10s);
  const auto waited = Clock::now() - start;
  EXPECT_EQ(reply.Bytes, EmptyListReply);
  // The stall costs two 300 ms receive limits (half the length comes, then nothing), about
  // 600 ms; without the limit it would cost the 30 s default.
  EXPECT_LT(waited, 5s);
  for (const TSocket* sock : {&silent, &stalled}) {
    const TReply dropped = ReadUntilClosed(*sock, 3s);
    EXPECT_TRUE(dropped.Closed) << (sock == &silent ? "silent" : "stalled");
    EXPECT_TRUE(dropped.Bytes.empty());
  }
}

TEST_F(TcpServerTest, FramesAndListsAreServedWhileALargeFileIsServed) {
  const std::string content = RandomText(32 << 20, 11);
  Root.Write("big.bin", content);
  StartServer();

  TSocket reader = Dial(Port);
  ASSERT_TRUE(SendRaw(reader, B({0x02, 7, 0}) + std::string("big.bin")));
  ASSERT_EQ(ReadExactly(reader, 8, 10s), Le64(content.size()));
  // The reader now stops reading: the server is stuck sending into full buffers.

  TSocket listAsker = Dial(Port);
  ASSERT_TRUE(SendRaw(listAsker, B({0x01})));
  TSocket frame = Dial(Port);
  ASSERT_TRUE(SendRaw(frame, B({0x06, 3, 0}) + std::string("eve") + Le32(3) + B({9, 8, 7})));
  ASSERT_TRUE(PondarTest::WaitFor([&] { return Events->Frames.Count() == 1; }));
  EXPECT_EQ(ReadUntilClosed(listAsker).Bytes, EmptyListReply);  // on a request thread of its own

  const TBytes body = ReadExactly(reader, content.size(), 30s);
  EXPECT_EQ(body.size(), content.size());
  EXPECT_TRUE(body == TBytes(content.begin(), content.end()));
}

TEST_F(TcpServerTest, FrameReceiversAreCapped) {
  StartServer();
  std::vector<TSocket> holders;
  for (size_t i = 0; i < TTcpServerThread::MaxFrameReceivers; ++i) {
    holders.push_back(Dial(Port));
    ASSERT_TRUE(SendRaw(holders.back(), B({0x06, 1})));  // half a name length: receiver waits
  }
  ASSERT_TRUE(PondarTest::WaitFor(
      [&] { return Server->FrameReceiverCount() == TTcpServerThread::MaxFrameReceivers; }));

  const TBytes good = B({0x06, 1, 0}) + std::string("z") + Le32(1) + B({5});
  TSocket refused = Dial(Port);
  SendRaw(refused, B({0x06}));
  const TReply reply = ReadUntilClosed(refused, 3s);
  EXPECT_TRUE(reply.Closed);
  EXPECT_EQ(Server->FrameReceiverCount(), TTcpServerThread::MaxFrameReceivers);

  holders.pop_back();  // one receiver ends
  ASSERT_TRUE(PondarTest::WaitFor(
      [&] { return Server->FrameReceiverCount() == TTcpServerThread::MaxFrameReceivers - 1; }));
  EXPECT_TRUE(Ask(Port, good).Closed);
  ASSERT_TRUE(PondarTest::WaitFor([&] { return Events->Frames.Count() == 1; }));
  EXPECT_EQ(Events->Frames.Count(), 1u);
}

TEST_F(TcpServerTest, DestroyedMidFrame_HandlerNeverRunsAfterwards) {
  StartServer();  // full 30 s limit: only shutting the socket down ends the receiver quickly
  TSocket sender = Dial(Port);
  ASSERT_TRUE(SendRaw(sender, B({0x06, 1, 0}) + std::string("m") + Le32(1000) + TBytes(10, 1)));
  ASSERT_TRUE(PondarTest::WaitFor([&] { return Server->FrameReceiverCount() == 1; }));

  const auto start = Clock::now();
  Server.reset();
  EXPECT_LT(Clock::now() - start, 1s);

  // The rest of the frame: a receiver that had been left running would now raise it.
  SendRaw(sender, TBytes(990, 2));
  EXPECT_FALSE(PondarTest::WaitFor([&] { return Events->Frames.Count() > 0; }, 500ms));
}

TEST_F(TcpServerTest, RestartRightAfterServing_ServesAgain_ASecondServerIsRefusedAndSaysSo) {
  StartServer();
  // The server closes each connection first: this one now waits in TIME_WAIT on the port.
  ExpectStillServing();
  Server.reset();
  StartServer(Pondar::Net::ServerTimeoutMs, true, Port);
  ExpectStillServing();

  // Another server, or another program, already listening on the port: given up, and said.
  const auto refused = [&](uint16_t APort) {
    TTcpServerThread second(APort, Root.Str(), Files);
    TRecorder<std::string> problems;
    second.OnProblem = [&](const std::string& AMessage) { problems.Add(AMessage); };
    second.Start();
    EXPECT_TRUE(PondarTest::WaitFor([&] { return !second.Running(); }));
    EXPECT_EQ(second.BoundPort(), 0);
    EXPECT_EQ(problems.All(), std::vector<std::string>{"TCP port " + std::to_string(APort) +
                                                       " cannot be opened (Address already in "
                                                       "use): other peers cannot fetch files "
                                                       "from here"});
  };
  refused(Port);
  const TSocket holder = PondarTest::ListenTcp("0.0.0.0");
  ASSERT_TRUE(holder.Valid());
  refused(PondarTest::PortOf(holder));
  ExpectStillServing();
}

TEST_F(TcpServerTest, ManyClientsAtOnce_AllAnswered) {
  Root.Write("f.bin", RandomText(200000, 5));
  StartServer();
  constexpr int Clients = 4;
  constexpr int Rounds = 10;
  std::atomic<int> badLists{0}, badFiles{0}, framesSent{0};
  std::atomic<bool> writing{true};
  const PondarTest::TSandbox local;

  // A writer keeps changing the list under its lock while the server encodes it.
  std::thread writer([&] {
    int n = 0;
    while (writing) {
      Files->Replace(TFileEntries(static_cast<size_t>(n++ % 5), {"same/path", 3, 1.0, "h"}));
    }
  });
  std::vector<std::thread> clients;
  for (int c = 0; c < Clients; ++c) {
    clients.emplace_back([&, c] {
      for (int r = 0; r < Rounds; ++r) {
        const auto list = Pondar::Net::RequestFileList(Loopback, Port);
        if (!list) ++badLists;
        for (const auto& e : list.value_or(TFileEntries{}))
          if (!(e == TFileEntry{"same/path", 3, 1.0, "h"})) ++badLists;
        const std::string target = local.Str() + "/c" + std::to_string(c);
        if (!Pondar::Net::DownloadFile(Loopback, Port, "f.bin", nullptr, target)) ++badFiles;
        if (Pondar::Net::SendScreenFrame(Loopback, Port, "p", TBytes(1000, uint8_t(c))))
          ++framesSent;
        Pondar::Net::SendChangesNotify(Loopback, Port);
      }
    });
  }
  for (auto& t : clients) t.join();
  writing = false;
  writer.join();

  EXPECT_EQ(badLists, 0);
  EXPECT_EQ(badFiles, 0);
  EXPECT_GT(framesSent, 0);
  // Notices are queued in order and handled one at a time; every one of them arrives.
  EXPECT_TRUE(
      PondarTest::WaitFor([&] { return Events->Changes.Count() == size_t{Clients * Rounds}; }));
  // Frames beyond the receiver cap may be refused; most get through, none twice.
  EXPECT_GT(Events->Frames.Count(), 0u);
  EXPECT_LE(Events->Frames.Count(), static_cast<size_t>(framesSent.load()));
  for (int c = 0; c < Clients; ++c)
    EXPECT_EQ(local.Read("c" + std::to_string(c)), Root.Read("f.bin"));
}

// ---- keyed mode ----

TEST_F(TcpServerTest, Keyed_OnlyARequesterWithTheServersKeyIsAnswered) {
  struct TCase {
    const char* Name;
    uint8_t ServerKey, ClientKey;
    bool Answered;
  };
  const TCase cases[] = {
      {"the same key", 7, 7, true},
      {"a keyless requester, keyed server", 7, 0, false},
      {"another key", 7, 9, false},
      {"a keyed requester, keyless server", 0, 7, false},
  };
  const TFileEntries shared = {{"a/b.txt", 5, 45000.25, "h1"}};
  Files->Replace(shared);
  // Larger than a TLS record and than the connection's send buffer: many records each way.
  Root.Write("big.bin", RandomText(300000, 3));
  const PondarTest::TSandbox local;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Events = std::make_shared<TEvents>();
    Key = c.ServerKey;
    StartServer(2000);
    {
      const PondarTest::TRequesterTls requester(KeyOf(c.ClientKey));
      const auto list = Pondar::Net::RequestFileList(Loopback, Port);
      EXPECT_EQ(list.has_value(), c.Answered);
      if (list) {
        EXPECT_EQ(*list, shared);
      }
      const std::string target = local.Str() + "/" + c.Name;
      EXPECT_EQ(Pondar::Net::DownloadFile(Loopback, Port, "big.bin", nullptr, target), c.Answered);
      if (c.Answered) {
        EXPECT_EQ(local.Read(c.Name), Root.Read("big.bin"));
      }
      // The sender that drives its connections without blocking: notice, text, frame.
      Pondar::Net::TPeerOutbox outbox;
      outbox.Start();
      std::atomic<int> allSent{-1};
      outbox.Post({{"p", Loopback, Port, 0, 0}},
                  {Pondar::Net::ChangesNotifyMessage(),
                   Pondar::Net::ClipboardTextMessage("keyed text")},
                  [&](bool AAllSent) { allSent = AAllSent ? 1 : 0; });
      outbox.PostFrame({{"p", Loopback, Port, 0, 0}},
                       Pondar::Net::ScreenFrameMessage("p", TBytes(70000, 0x5A)));
      ASSERT_TRUE(PondarTest::WaitFor([&] { return allSent >= 0 && outbox.Pending() == 0; }));
      // A plain sender cannot tell: its bytes reach the socket, and the server drops them.
      EXPECT_EQ(allSent == 1, c.Answered || c.ClientKey == 0);
    }
    if (c.Answered) {
      EXPECT_TRUE(PondarTest::WaitFor([&] { return Events->Frames.Count() == 1; }));
      EXPECT_EQ(Events->Clips.All(), std::vector<std::string>{"keyed text"});
      EXPECT_EQ(Events->Changes.All(), std::vector<std::string>{Loopback});
    }
    // A refused requester never gets past the handshake: nothing of it reaches a handler, and
    // the server goes on answering those with its key.
    const PondarTest::TRequesterTls requester(KeyOf(c.ServerKey));
    EXPECT_TRUE(Pondar::Net::RequestFileList(Loopback, Port).has_value());
    if (!c.Answered) {
      EXPECT_EQ(Events->Clips.Count() + Events->Changes.Count() + Events->Frames.Count(), 0u);
    }
    Server.reset();
  }
}

TEST_F(TcpServerTest, Keyed_PlainRequestsAndStalledHandshakesAreClosedWithinTheLimit) {
  struct TCase {
    const char* Name;
    TBytes Sent;
  };
  const TCase cases[] = {
      {"a plain list request", B({0x01})},
      {"a plain file request", B({0x02, 0x05, 0x00, 'b', '.', 't', 'x', 't'})},
      {"half a record header", B({0x16, 0x03, 0x01})},
      {"a ClientHello cut short", B({0x16, 0x03, 0x01, 0x01, 0x00, 0x01, 0x00, 0x00, 0xFC, 0x03})},
      {"an alert", B({0x15, 0x03, 0x03, 0x00, 0x02, 0x02, 0x28})},
  };
  Files->Replace({{"b.txt", 5, 45000.25, "h1"}});
  Root.Write("b.txt", "hello");
  Key = 7;
  StartServer(300);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const auto start = Clock::now();
    const TReply reply = Ask(Port, c.Sent, 5s);
    // Closed by the server at the latest when the request time limit (300 ms) runs out, with
    // nothing but perhaps a TLS alert: never a list, a file or a byte of the plain protocol.
    EXPECT_TRUE(reply.Closed);
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_TRUE(reply.Bytes.empty() || reply.Bytes[0] == 0x15) << reply.Bytes.size();
  }
  const PondarTest::TRequesterTls requester(KeyOf(7));
  EXPECT_TRUE(Pondar::Net::RequestFileList(Loopback, Port).has_value());
}

}  // namespace
