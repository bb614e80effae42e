#include "platform/Zor_Tcp.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>
#include <memory>
#include <vector>

using namespace zor::platform;

namespace {

// A server whose connections echo what they read, on a system-chosen loopback port.
struct TEchoServer {
  TZor_TcpServer Server;
  std::atomic<int> Connects{0}, Disconnects{0};
  TEchoServer() {
    Server.SetBindAddress("127.0.0.1");
    Server.SetOnConnect([this](TZor_TcpConnection &) { ++Connects; });
    Server.SetOnExecute([](TZor_TcpConnection &c) {
      std::string data;
      if (c.Read(data, 200) == TZor_ReadResult::rrOk) c.Write(data);
    });
    Server.SetOnDisconnect([this](TZor_TcpConnection &) { ++Disconnects; });
    EXPECT_TRUE(Server.Activate());
  }
};

// Waits (bounded) until `pred` holds.
template <class P>
bool Eventually(P pred, uint32_t ms = 3000) {
  uint32_t start = GetTicks();
  while (!pred()) {
    if (TicksSince(start) > ms) return false;
    SleepMs(5);
  }
  return true;
}

// A server that hands each accepted connection to the test, which drives it.
struct TManualServer {
  TZor_TcpServer Server;
  std::function<void(TZor_TcpConnection &)> Body;
  TManualServer(std::function<void(TZor_TcpConnection &)> body) : Body(std::move(body)) {
    Server.SetBindAddress("127.0.0.1");
    Server.SetOnExecute([this](TZor_TcpConnection &c) {
      Body(c);
      c.Disconnect();
    });
    EXPECT_TRUE(Server.Activate());
  }
};

}  // namespace

TEST(TcpClient, RoundTripAndAddresses) {
  TEchoServer echo;
  ASSERT_NE(echo.Server.GetPort(), 0);
  TZor_TcpClient client("127.0.0.1", echo.Server.GetPort());
  ASSERT_TRUE(client.Connect()) << client.GetLastErrorText();
  EXPECT_TRUE(client.IsConnected());
  EXPECT_EQ(client.GetLocalAddress(), "127.0.0.1");
  EXPECT_NE(client.GetLocalPort(), 0);
  EXPECT_EQ(client.GetPeerPort(), echo.Server.GetPort());

  std::string bytes("\x00\xFF\x85\x20 data\r\n", 11);
  ASSERT_TRUE(client.Write(bytes));
  std::string got;
  ASSERT_TRUE(Eventually([&] {
    std::string part;
    if (client.Read(part, 100) == TZor_ReadResult::rrOk) got += part;
    return got.size() >= bytes.size();
  }));
  EXPECT_EQ(got, bytes);  // all 256 byte values pass unchanged
  EXPECT_TRUE(Eventually([&] { return echo.Server.ConnectionCount() == 1; }));
  EXPECT_FALSE(client.Connect());  // already connected
  EXPECT_EQ(client.GetLastError().Code, WSA_EISCONN);

  client.Disconnect();
  EXPECT_FALSE(client.IsConnected());
  EXPECT_FALSE(client.Write("x"));
  EXPECT_EQ(client.Read(got, 10), TZor_ReadResult::rrError);
  EXPECT_EQ(client.GetLastError().Code, WSA_ENOTCONN);
  EXPECT_TRUE(Eventually([&] { return echo.Disconnects == 1; }));
  EXPECT_EQ(echo.Connects, 1);
  // A disconnected client connects again.
  ASSERT_TRUE(client.Connect());
  EXPECT_TRUE(Eventually([&] { return echo.Connects == 2; }));
}

TEST(TcpClient, ConnectFailuresCarrySocketErrorNumbers) {
  // A port nobody listens on: find one by binding and closing a server.
  uint16_t port;
  {
    TZor_TcpServer s;
    s.SetBindAddress("127.0.0.1");
    ASSERT_TRUE(s.Activate());
    port = s.GetPort();
  }
  TZor_TcpClient refused("127.0.0.1", port);
  EXPECT_FALSE(refused.Connect());
  EXPECT_EQ(refused.GetLastError().Code, WSA_ECONNREFUSED);
  EXPECT_FALSE(refused.IsConnected());

  TZor_TcpClient unknown("no-such-host.invalid", 1024);
  EXPECT_FALSE(unknown.Connect());
  EXPECT_EQ(unknown.GetLastError().Code, WSA_HOST_NOT_FOUND);

  // Connect is bounded: an address that never answers gives up after the connect timeout
  // (or at once when there is no route at all).
  TZor_TcpClient silent("192.0.2.254", 1024);
  silent.SetConnectTimeout(300);
  uint32_t start = GetTicks();
  EXPECT_FALSE(silent.Connect());
  EXPECT_LT(TicksSince(start), 3000u);
  uint32_t code = silent.GetLastError().Code;
  EXPECT_TRUE(code == WSA_ETIMEDOUT || code == WSA_EHOSTUNREACH || code == WSA_ECONNREFUSED) << code;
}

TEST(TcpClient, AddressTextIsReadAsDecimalNeverResolved) {
  // 127.000.000.001 is loopback; the resolver would read "010" style parts as octal.
  TZor_TcpServer s;
  std::atomic<int> connects{0};
  s.SetBindAddress("127.0.0.9");
  s.SetOnConnect([&](TZor_TcpConnection &c) {
    ++connects;
    EXPECT_EQ(c.GetLocalAddress(), "127.0.0.9");
  });
  ASSERT_TRUE(s.Activate());
  TZor_TcpClient padded(" 127.000.000.009 ", s.GetPort());
  EXPECT_TRUE(padded.Connect()) << padded.GetLastErrorText();
  EXPECT_EQ(padded.GetPeerAddress(), "127.0.0.9");
  padded.Disconnect();
  // 011 would be 9 in octal: as decimal it names 127.0.0.11, where nobody listens.
  TZor_TcpClient octal("127.0.0.011", s.GetPort());
  EXPECT_FALSE(octal.Connect());
  EXPECT_EQ(octal.GetLastError().Code, WSA_ECONNREFUSED);
  // Something that looked like an address but is none is not handed to the resolver.
  TZor_TcpClient bad("127.0.0.300", s.GetPort());
  EXPECT_FALSE(bad.Connect());
  EXPECT_EQ(bad.GetLastError().Code, WSA_HOST_NOT_FOUND);
  EXPECT_TRUE(Eventually([&] { return connects == 1; }));
}

TEST(TcpClient, AbortFlagBreaksOffWaitsFromAnotherThread) {
  TManualServer silent([](TZor_TcpConnection &c) {
    std::string ignored;
    c.ReadLine(ignored, 3000);  // takes the request, never answers
    c.Read(ignored, 3000);
  });
  TZor_TcpClient client("127.0.0.1", silent.Server.GetPort());
  TZor_AbortFlag abort = MakeAbortFlag();
  client.SetAbortFlag(abort);
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Write("request\n"));
  std::thread breaker([&] {
    SleepMs(50);
    *abort = true;
  });
  uint32_t start = GetTicks();
  std::string line;
  EXPECT_EQ(client.ReadLine(line, 10000), TZor_ReadResult::rrError);
  EXPECT_LT(TicksSince(start), 1000u);
  EXPECT_EQ(client.GetLastError().Code, WSA_ECONNABORTED);
  breaker.join();
  client.Disconnect();
  // Once set, a connect fails at once.
  EXPECT_FALSE(client.Connect());
  EXPECT_EQ(client.GetLastError().Code, WSA_ECONNABORTED);
}

TEST(TcpSocket, ReadLineSplitsBufferedLinesAndHonoursTimeout) {
  TManualServer server([](TZor_TcpConnection &c) {
    c.Write("ok\r\nsecond");
    SleepMs(150);
    c.Write(" half\nthird\r\nlast-without-end");
  });
  TZor_TcpClient client("127.0.0.1", server.Server.GetPort());
  ASSERT_TRUE(client.Connect());
  std::string line;
  ASSERT_EQ(client.ReadLine(line, 2000), TZor_ReadResult::rrOk);
  EXPECT_EQ(line, "ok");
  // The rest of the line comes late: a short wait times out, the text stays buffered.
  EXPECT_EQ(client.ReadLine(line, 20), TZor_ReadResult::rrTimeout);
  ASSERT_EQ(client.ReadLine(line, 2000), TZor_ReadResult::rrOk);
  EXPECT_EQ(line, "second half");
  ASSERT_EQ(client.ReadLine(line, 2000), TZor_ReadResult::rrOk);
  EXPECT_EQ(line, "third");
  // The peer closes after an unterminated last line: it is delivered, then the close.
  ASSERT_EQ(client.ReadLine(line, 2000), TZor_ReadResult::rrOk);
  EXPECT_EQ(line, "last-without-end");
  EXPECT_EQ(client.ReadLine(line, 2000), TZor_ReadResult::rrClosed);
  EXPECT_FALSE(client.IsConnected());
}

TEST(TcpSocket, ReadLineIsBoundedForPeersThatNeverEndALine) {
  TManualServer server([](TZor_TcpConnection &c) {
    c.Write(std::string(ZorMaxLineLength + 10, 'a') + "\n");
    SleepMs(100);
  });
  TZor_TcpClient client("127.0.0.1", server.Server.GetPort());
  ASSERT_TRUE(client.Connect());
  std::string line;
  ASSERT_EQ(client.ReadLine(line, 3000), TZor_ReadResult::rrOk);
  EXPECT_EQ(line.size(), ZorMaxLineLength);
  ASSERT_EQ(client.ReadLine(line, 3000), TZor_ReadResult::rrOk);
  EXPECT_EQ(line, std::string(10, 'a'));
}

TEST(TcpSocket, ReadForCollectsEverythingWithinTheWindow) {
  TManualServer server([](TZor_TcpConnection &c) {
    c.Write("ab\r\n");
    SleepMs(30);
    c.Write(std::string(16, '\x01'));
    SleepMs(300);
  });
  TZor_TcpClient client("127.0.0.1", server.Server.GetPort());
  ASSERT_TRUE(client.Connect());
  std::string data;
  uint32_t start = GetTicks();
  ASSERT_EQ(client.ReadFor(data, 150), TZor_ReadResult::rrOk);
  EXPECT_GE(TicksSince(start), 140u);
  EXPECT_EQ(data.size(), 20u);
  EXPECT_EQ(client.ReadFor(data, 30), TZor_ReadResult::rrTimeout);
  EXPECT_TRUE(data.empty());
}

TEST(TcpSocket, ReadForEndsTheWindowWhenTheAwaitedBytesArrive) {
  TManualServer server([](TZor_TcpConnection &c) {
    c.Write("o");
    SleepMs(30);
    c.Write("k\r\nrest");
    SleepMs(500);
  });
  TZor_TcpClient client("127.0.0.1", server.Server.GetPort());
  ASSERT_TRUE(client.Connect());
  std::string data;
  const uint32_t start = GetTicks();
  ASSERT_EQ(client.ReadFor(data, 400, "\r\n"), TZor_ReadResult::rrOk);
  EXPECT_LT(TicksSince(start), 300u);
  EXPECT_EQ(data.substr(0, 4), "ok\r\n");
  // Without the awaited bytes the whole window passes.
  EXPECT_EQ(client.ReadFor(data, 50, "\r\n"), TZor_ReadResult::rrTimeout);
}

TEST(TcpSocket, GracefulCloseIsToldApartFromReset) {
  // Graceful: the peer closes normally.
  {
    TManualServer server([](TZor_TcpConnection &c) { c.Write("bye"); });
    TZor_TcpClient client("127.0.0.1", server.Server.GetPort());
    ASSERT_TRUE(client.Connect());
    std::string data;
    ASSERT_EQ(client.Read(data, 2000), TZor_ReadResult::rrOk);
    EXPECT_EQ(client.Read(data, 2000), TZor_ReadResult::rrClosed);
    EXPECT_EQ(client.Read(data, 10), TZor_ReadResult::rrClosed);  // stays closed
    EXPECT_FALSE(client.IsConnected());
  }
  // Reset: a raw listener aborts the connection with SO_LINGER 0.
  int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(lfd, 1), 0);
  socklen_t len = sizeof sa;
  ::getsockname(lfd, reinterpret_cast<sockaddr *>(&sa), &len);
  TZor_TcpClient client("127.0.0.1", ntohs(sa.sin_port));
  ASSERT_TRUE(client.Connect());
  int cfd = ::accept(lfd, nullptr, nullptr);
  linger lg{1, 0};
  ::setsockopt(cfd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ::close(cfd);
  ::close(lfd);
  std::string data;
  EXPECT_EQ(client.Read(data, 2000), TZor_ReadResult::rrError);
  EXPECT_EQ(client.GetLastError().Code, WSA_ECONNRESET);
  EXPECT_FALSE(client.IsConnected());
  EXPECT_FALSE(client.Write("late"));
}

// The data server's owner ends a connection while its thread waits in a read.
TEST(TcpSocket, DisconnectFromAnotherThreadWakesABlockedReader) {
  std::atomic<bool> done{false};
  std::atomic<TZor_ReadResult> result{TZor_ReadResult::rrOk};
  std::atomic<uint32_t> code{0};
  TZor_TcpServer server;
  server.SetBindAddress("127.0.0.1");
  std::atomic<TZor_TcpConnection *> accepted{nullptr};
  server.SetOnConnect([&](TZor_TcpConnection &c) { accepted = &c; });
  server.SetOnExecute([&](TZor_TcpConnection &c) {
    std::string d;
    result = c.Read(d, 10000);
    code = c.GetLastError().Code;
    done = true;
  });
  ASSERT_TRUE(server.Activate());
  TZor_TcpClient client("127.0.0.1", server.GetPort());
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(Eventually([&] { return accepted.load() != nullptr; }));
  SleepMs(50);
  uint32_t start = GetTicks();
  accepted.load()->Disconnect();
  ASSERT_TRUE(Eventually([&] { return done.load(); }, 2000));
  EXPECT_LT(TicksSince(start), 2000u);
  EXPECT_EQ(result.load(), TZor_ReadResult::rrError);
  EXPECT_EQ(code.load(), WSA_ENOTCONN);
}

TEST(TcpServer, PortsGivenOrChosenAndBindConflicts) {
  TZor_TcpServer a;
  a.SetBindAddress("127.0.0.1");
  ASSERT_TRUE(a.Activate());
  uint16_t port = a.GetPort();
  ASSERT_NE(port, 0);
  TZor_TcpServer b;
  b.SetBindAddress("127.0.0.1");
  b.SetPort(port);
  EXPECT_FALSE(b.Activate());
  EXPECT_EQ(b.GetLastError().Code, WSA_EADDRINUSE);
  EXPECT_FALSE(b.IsActive());
  a.Deactivate();
  EXPECT_FALSE(a.IsActive());
  EXPECT_EQ(a.GetPort(), 0);
  // The port is free again; a server on another loopback address may share its number.
  EXPECT_TRUE(b.Activate()) << b.GetLastError().Code;
  EXPECT_EQ(b.GetPort(), port);
  TZor_TcpServer c;
  c.SetBindAddress("127.0.0.2");
  c.SetPort(port);
  EXPECT_TRUE(c.Activate());
  // An address this host does not have (a documentation network) only with free binding.
  TZor_TcpServer d;
  d.SetBindAddress("192.0.2.77");
  EXPECT_FALSE(d.Activate());
  d.SetFreeBind(true);
  EXPECT_TRUE(d.Activate()) << d.GetLastError().Code;
}

TEST(TcpServer, DeactivateEndsConnectionsAndRunsTheirDisconnectHandlers) {
  TEchoServer echo;
  std::vector<std::unique_ptr<TZor_TcpClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<TZor_TcpClient>("127.0.0.1", echo.Server.GetPort()));
    ASSERT_TRUE(clients.back()->Connect());
  }
  ASSERT_TRUE(Eventually([&] { return echo.Server.ConnectionCount() == 3; }));
  echo.Server.Deactivate();
  // Every handler has finished once Deactivate returns.
  EXPECT_EQ(echo.Disconnects, 3);
  EXPECT_EQ(echo.Server.ConnectionCount(), 0u);
  for (auto &c : clients) {
    std::string data;
    EXPECT_EQ(c->Read(data, 2000), TZor_ReadResult::rrClosed);
  }
  TZor_TcpClient late("127.0.0.1", 1);
  late.SetPort(clients[0]->GetPeerPort());
  EXPECT_FALSE(late.Connect());
}

TEST(TcpServer, ClearConnectionsEmptiesTheList) {
  TEchoServer echo;
  TZor_TcpClient client("127.0.0.1", echo.Server.GetPort());
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(Eventually([&] { return echo.Server.ConnectionCount() == 1; }));
  echo.Server.ClearConnections();
  EXPECT_EQ(echo.Server.ConnectionCount(), 0u);
  std::string data;
  EXPECT_EQ(client.Read(data, 2000), TZor_ReadResult::rrClosed);
  EXPECT_TRUE(Eventually([&] { return echo.Disconnects == 1; }));
  EXPECT_TRUE(echo.Server.IsActive());
}

// A handler may stop and even free its server from inside its own connection
// thread (the data server does this when the device ends the session).
TEST(TcpServer, HandlerMayDeactivateAndFreeItsOwnServer) {
  for (bool fromDisconnect : {false, true}) {
    auto server = std::make_unique<TZor_TcpServer>();
    std::atomic<bool> freed{false};
    std::atomic<int> executesAfterFree{0};
    auto stop = [&](TZor_TcpConnection &) {
      if (freed) {
        ++executesAfterFree;
        return;
      }
      server->ClearConnections();
      server->Deactivate();
      server.reset();
      freed = true;
    };
    server->SetBindAddress("127.0.0.1");
    if (fromDisconnect) {
      server->SetOnExecute([](TZor_TcpConnection &c) {
        std::string d;
        c.Read(d, 100);
      });
      server->SetOnDisconnect(stop);
    } else {
      server->SetOnExecute([&](TZor_TcpConnection &c) {
        std::string d;
        if (c.Read(d, 100) == TZor_ReadResult::rrOk) stop(c);
      });
      server->SetOnDisconnect([&](TZor_TcpConnection &c) { stop(c); });
    }
    ASSERT_TRUE(server->Activate());
    TZor_TcpClient client("127.0.0.1", server->GetPort());
    ASSERT_TRUE(client.Connect());
    if (fromDisconnect)
      client.Disconnect();
    else
      ASSERT_TRUE(client.Write("go"));
    EXPECT_TRUE(Eventually([&] { return freed.load(); }));
    SleepMs(50);
    EXPECT_EQ(executesAfterFree, 0);
  }
}

TEST(TcpServer, ConcurrentDeactivateFromMainAndHandlerDoesNotDeadlock) {
  TZor_TcpServer server;
  server.SetBindAddress("127.0.0.1");
  server.SetOnExecute([](TZor_TcpConnection &c) {
    std::string d;
    c.Read(d, 50);
  });
  server.SetOnDisconnect([&](TZor_TcpConnection &) { server.Deactivate(); });
  ASSERT_TRUE(server.Activate());
  TZor_TcpClient client("127.0.0.1", server.GetPort());
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(Eventually([&] { return server.ConnectionCount() == 1; }));
  server.Deactivate();
  EXPECT_FALSE(server.IsActive());
}
