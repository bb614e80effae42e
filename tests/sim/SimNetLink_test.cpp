// The simulator's network link, driven from the tool's side by a minimal
// client written here on plain sockets: requests byte for byte, answer words,
// the data connection, the faults, several devices at once, hostile input.
#include "sim/SimNetLink.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <random>

#include "platform/Zor_SimHosts.h"
#include "sim/SimColdfire.h"
#include "sim/SimFormats.h"

using namespace zor;

namespace {

uint64_t NowMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// A file descriptor that closes itself.
struct TFd {
  int Fd = -1;
  TFd() = default;
  explicit TFd(int fd) : Fd(fd) {}
  TFd(TFd &&o) noexcept : Fd(o.Fd) { o.Fd = -1; }
  TFd &operator=(TFd &&o) noexcept {
    std::swap(Fd, o.Fd);
    return *this;
  }
  ~TFd() {
    if (Fd >= 0) ::close(Fd);
  }
  bool Valid() const { return Fd >= 0; }
};

sockaddr_in Addr(const std::string &ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  return a;
}

TFd Dial(const std::string &ip, uint16_t port) {
  TFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in a = Addr(ip, port);
  if (::connect(fd.Fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return {};
  return fd;
}

void Send(const TFd &fd, const std::string &bytes) {
  ASSERT_EQ(::send(fd.Fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// Everything that arrives within `ms`, stopping early once `want` bytes are
// there; `closed` tells whether the peer ended the connection.
std::string Receive(const TFd &fd, uint32_t ms, size_t want = SIZE_MAX, bool *closed = nullptr) {
  std::string got;
  uint64_t end = NowMs() + ms;
  if (closed) *closed = false;
  while (got.size() < want) {
    int64_t left = static_cast<int64_t>(end) - static_cast<int64_t>(NowMs());
    if (left <= 0) break;
    pollfd p{fd.Fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char buf[4096];
    ssize_t n = ::recv(fd.Fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (closed) *closed = true;
      break;
    }
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// The tool's data server: one listening socket on loopback.
struct TDataServer {
  TFd Listen;
  uint16_t Port = 0;
  TDataServer() {
    Listen = TFd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = Addr("127.0.0.1", 0);
    ::bind(Listen.Fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::listen(Listen.Fd, 8);
    socklen_t len = sizeof a;
    ::getsockname(Listen.Fd, reinterpret_cast<sockaddr *>(&a), &len);
    Port = ntohs(a.sin_port);
  }
  // The next data connection, and the address it came from.
  TFd Accept(uint32_t ms, std::string *peer = nullptr) {
    pollfd p{Listen.Fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(ms)) <= 0) return {};
    sockaddr_in a{};
    socklen_t len = sizeof a;
    TFd fd(::accept(Listen.Fd, reinterpret_cast<sockaddr *>(&a), &len));
    if (peer) {
      char text[INET_ADDRSTRLEN];
      *peer = ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    }
    return fd;
  }
};

// Address block of the tool at 127.0.0.1 and the given data-server port.
std::string AddressBlock(uint16_t port) {
  return std::string("\x7F\x00\x00\x01:", 5) + static_cast<char>(port >> 8) + static_cast<char>(port & 0xFF);
}
std::string Control(const std::string &keyword, char user, uint16_t port) {
  return keyword + user + AddressBlock(port) + "\r\n";
}
std::string Cmd(uint16_t port, const std::string &command) {
  return "CMD.... " + AddressBlock(port) + " " + static_cast<char>(command.size()) + command;
}
std::string BlockHeader(uint16_t port, uint32_t len, uint32_t addr, bool crypted) {
  return std::string(crypted ? "BLO.... " : "BLK.... ") + AddressBlock(port) + " " + SimLE32(len) +
         SimLE32(addr);
}

// One simulated device with its link on a loopback address.
struct TSim {
  std::unique_ptr<TSimDevice> Device;
  std::unique_ptr<TSimNetLink> Link;
  std::string Ip;
  TSim(TSimFamily family, const std::string &ip, uint16_t port = 0, uint32_t serial = 0x1234) : Ip(ip) {
    TSimConfig c;
    c.Family = family;
    c.FirmwareVersion = family == TSimFamily::Esp ? 114 : 112;
    c.SerialNumber = serial;
    uint32_t a = ntohl(Addr(ip, 0).sin_addr.s_addr);
    c.IpAddress = a;
    c.Timings.RestartSilentMs = 200;
    c.Timings.TimeStampIntervalMs = 0;
    c.Timings.HeartbeatIntervalMs = 0;
    Device = CreateSimDevice(c);
    TSimNetLinkConfig lc;
    lc.ControlPort = port;
    lc.RequestTimeoutMs = 300;
    lc.IdleTimeoutMs = 1000;
    Link = std::make_unique<TSimNetLink>(*Device, lc);
    EXPECT_TRUE(Link->Start()) << Link->GetLastErrorText();
  }
  ~TSim() { Link->Stop(); }
  uint16_t Port() const { return Link->GetControlPort(); }
  // One request on its own connection, as the tool makes them.
  std::string Request(const std::string &bytes, uint32_t ms = 2000, size_t want = 4) {
    TFd fd = Dial(Ip, Port());
    if (!fd.Valid()) return "<no connection>";
    Send(fd, bytes);
    return Receive(fd, ms, want);
  }
  bool LogHas(const std::string &text) const {
    for (auto &line : Link->LinkLog())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
};

// The payload of each CDC block in `stream` (checks the header as the tool would).
std::vector<std::string> CdcPayloads(const std::string &stream, std::vector<uint32_t> *flags = nullptr) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at + 32 <= stream.size()) {
    EXPECT_EQ(SimReadBE32(stream, at), 0xBFBFBFBFu);
    uint32_t size = SimReadBE32(stream, at + 4), count = SimReadBE32(stream, at + 8);
    EXPECT_GE(size, count);
    if (at + 32 + size > stream.size()) break;
    out.push_back(stream.substr(at + 32, count));
    if (flags) flags->push_back(SimReadBE32(stream, at + 16));
    at += 32 + size;
  }
  return out;
}

}  // namespace

TEST(SimNetLink, ColdfireSessionFromConnectToDisconn) {
  TSim sim(TSimFamily::Coldfire, "127.0.0.21");
  TDataServer data;
  EXPECT_EQ(sim.Request(Control("CONNECT", '0', data.Port)), "ok\r\n");
  std::string peer;
  TFd conn = data.Accept(2000, &peer);
  ASSERT_TRUE(conn.Valid());
  EXPECT_EQ(peer, "127.0.0.21");  // the device connects from its own address
  EXPECT_TRUE(sim.Link->IsUserConnected(1));
  uint64_t start = NowMs();
  while (!sim.Link->IsDataConnected(1) && NowMs() - start < 2000) ::usleep(2000);
  EXPECT_TRUE(sim.Link->IsDataConnected(1));

  // A command travels as a CMD frame; its answer arrives on the data connection.
  EXPECT_EQ(sim.Request(Cmd(data.Port, "\x01")), "ok\r\n");
  std::string stream = Receive(conn, 500);
  auto payloads = CdcPayloads(stream);
  ASSERT_FALSE(payloads.empty());
  EXPECT_NE(payloads[0].find("VERSION"), std::string::npos);
  EXPECT_EQ((SimReadBE32(stream, 20) >> 17) & 3, 0u);  // write pointer names user 1

  // A status request is tools data: the CDC tools flag is set.
  EXPECT_EQ(sim.Request(Cmd(data.Port, std::string("\x85\x42\x01", 3))), "ok\r\n");
  std::vector<uint32_t> flags;
  payloads = CdcPayloads(Receive(conn, 500), &flags);
  ASSERT_EQ(payloads.size(), 1u);
  EXPECT_TRUE(flags[0] & simCdcToolsData);
  EXPECT_EQ(payloads[0].substr(0, 4), std::string("\x7F\x00\x00\x01", 4));  // slot 1 held by the tool

  EXPECT_EQ(sim.Request(Control("TRYBABY", '0', data.Port)), "ok\r\n");
  EXPECT_EQ(sim.Request(Control("TRYBABY", '1', data.Port)), "er\r\n");  // wrong slot
  EXPECT_EQ(sim.Request(Control("DISCONN", '0', data.Port)), "ok\r\n");
  bool closed = false;
  Receive(conn, 2000, SIZE_MAX, &closed);
  EXPECT_TRUE(closed);
  EXPECT_EQ(sim.Request(Control("TRYBABY", '0', data.Port)), "er\r\n");
  EXPECT_EQ(sim.Request(Cmd(data.Port, "\x01")), "er\r\n");  // no session any more
  EXPECT_EQ(sim.Request(Control("DISCONN", '0', data.Port)), "er\r\n");
}

TEST(SimNetLink, FourUsersThenAbWithTheUserTable) {
  TSim sim(TSimFamily::Coldfire, "127.0.0.22");
  std::vector<std::unique_ptr<TDataServer>> tools;
  std::vector<TFd> conns;
  const char users[] = {'2', ' ', ' ', ' '};  // slot 3, then the free ones in order
  for (char u : users) {
    tools.push_back(std::make_unique<TDataServer>());
    EXPECT_EQ(sim.Request(Control("CONNECT", u, tools.back()->Port)), "ok\r\n");
    conns.push_back(tools.back()->Accept(2000));
    ASSERT_TRUE(conns.back().Valid());
  }
  EXPECT_TRUE(sim.Link->IsUserConnected(3));
  // The same session again is already connected.
  EXPECT_EQ(sim.Request(Control("CONNECT", '2', tools[0]->Port)), "sv\r\n");
  // A fifth tool: all slots are taken; the answer carries the table, 20 bytes in all.
  TDataServer fifth;
  std::string ab = sim.Request(Control("CONNECT", ' ', fifth.Port), 500, 20);
  ASSERT_EQ(ab.size(), 20u);
  EXPECT_EQ(ab.substr(0, 4), "ab\r\n");
  for (int slot = 0; slot < 4; ++slot)
    EXPECT_EQ(ab.substr(4 + 4 * slot, 4), std::string("\x7F\x00\x00\x01", 4));
  // Several users: blocks carry the multi-user flag.
  EXPECT_EQ(sim.Request(Cmd(tools[1]->Port, "\x01")), "ok\r\n");
  std::vector<uint32_t> flags;
  CdcPayloads(Receive(conns[1], 500), &flags);
  ASSERT_FALSE(flags.empty());
  EXPECT_TRUE(flags[0] & simCdcMultiUser);
  // Freeing one slot lets a requested slot in.
  EXPECT_EQ(sim.Request(Control("DISCONN", '0', tools[1]->Port)), "ok\r\n");
  EXPECT_EQ(sim.Request(Control("CONNECT", '0', fifth.Port)), "ok\r\n");
}

TEST(SimNetLink, EspVersionUnaskedAndBlockTransfer) {
  TSim sim(TSimFamily::Esp, "127.0.0.23");
  TDataServer data;
  EXPECT_EQ(sim.Request(Control("CONNECT", '1', data.Port)), "ok\r\n");
  TFd conn = data.Accept(2000);
  ASSERT_TRUE(conn.Valid());
  std::string rec = Receive(conn, 1000, 16);
  ASSERT_GE(rec.size(), 16u);
  EXPECT_EQ(rec.substr(0, 4), "LUM2");
  EXPECT_EQ((SimReadLE32(rec, 12) >> 20) & 0x0F, 1u);  // stamped for user 2
  uint8_t sum = 0;
  size_t len = 16 + 8 * static_cast<uint8_t>(rec[5]);
  rec += Receive(conn, 500, len - rec.size());
  ASSERT_GE(rec.size(), len);
  for (size_t i = 0; i < len; ++i) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(rec[i]));
  EXPECT_EQ(sum, 0);

  // Header, "ok", the data in pieces, the final answer.
  const uint32_t size = 5000;
  TFd block = Dial(sim.Ip, sim.Port());
  Send(block, BlockHeader(data.Port, size, 0, false));
  EXPECT_EQ(Receive(block, 2000, 4), "ok\r\n");
  // Commands wait while the block runs.
  EXPECT_EQ(sim.Request(Cmd(data.Port, std::string("\x85\x42\x01", 3))), "bu\r\n");
  std::string image(size, '\x5A');
  for (uint32_t at = 0; at < size; at += 1440) Send(block, image.substr(at, 1440));
  std::string final = Receive(block, 3000, 4);
  EXPECT_TRUE(final == "ok\r\n" || final == "er\r\n") << final;
  EXPECT_TRUE(sim.LogHas("block of 5000 bytes"));

  // Too large, and from a stranger: refused at the header.
  EXPECT_EQ(sim.Request(BlockHeader(data.Port, 1048577, 0, true)), "er\r\n");
  EXPECT_EQ(sim.Request(BlockHeader(data.Port + 1, 16, 0, true)), "er\r\n");
  // A block broken off in the middle is dropped after the request timeout.
  TFd partial = Dial(sim.Ip, sim.Port());
  Send(partial, BlockHeader(data.Port, 100, 0, false) + std::string(10, 'x'));
  bool closed = false;
  EXPECT_EQ(Receive(partial, 3000, SIZE_MAX, &closed), "ok\r\n");
  EXPECT_TRUE(closed);
  EXPECT_TRUE(sim.LogHas("broken off after 10 of 100"));
}

TEST(SimNetLink, SetPortAnswersOnlyWhenAsked) {
  TSim sim(TSimFamily::Coldfire, "127.0.0.24");
  EXPECT_EQ(sim.Request(std::string("PO\x05", 3)), "ok\r\n");
  EXPECT_EQ(sim.Request(std::string("P \x05", 3), 200), "");
  EXPECT_TRUE(sim.LogHas("set-port value=0x05"));
}

TEST(SimNetLink, ForcedAnswerWordsOnceOrAlways) {
  TSim sim(TSimFamily::Coldfire, "127.0.0.25");
  TDataServer data;
  TSimLinkFaults f;
  f.AnswerAb.Count = 1;
  f.AnswerFe.Count = 1;
  f.AnswerFe.Kinds = srkTry;
  f.FeText = "fe wait";
  f.AnswerBu.Count = -1;
  f.AnswerTa.Count = 1;
  f.AnswerTa.Kinds = srkDisconn;
  sim.Link->SetFaults(f);
  std::string ab = sim.Request(Control("CONNECT", '0', data.Port), 500, 20);
  EXPECT_EQ(ab.size(), 20u);
  EXPECT_EQ(ab.substr(0, 4), "ab\r\n");
  EXPECT_EQ(sim.Request(Control("CONNECT", '0', data.Port)), "ok\r\n");  // only once
  TFd conn = data.Accept(2000);
  EXPECT_EQ(sim.Request(Control("TRYBABY", '0', data.Port), 2000, 9), "fe wait\r\n");
  EXPECT_EQ(sim.Request(Control("TRYBABY", '0', data.Port)), "ok\r\n");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(sim.Request(Cmd(data.Port, "\x01")), "bu\r\n");  // always
  EXPECT_EQ(sim.Request(Control("DISCONN", '0', data.Port)), "ta\r\n");
  EXPECT_TRUE(sim.Link->IsUserConnected(1));  // a forced answer carries nothing out
  EXPECT_EQ(sim.Request(Control("DISCONN", '0', data.Port)), "ok\r\n");
}

TEST(SimNetLink, MissingAndLateAnswers) {
  TSim sim(TSimFamily::Coldfire, "127.0.0.26");
  TDataServer data;
  TSimLinkFaults f;
  f.NoAnswer.Count = 1;
  f.NoAnswer.Kinds = srkTry;
  f.SlowAnswer.Count = 1;
  f.SlowAnswerMs = 150;
  sim.Link->SetFaults(f);
  // The CONNECT answer comes, but past the tool's 100 ms window; the request is carried out.
  TFd fd = Dial(sim.Ip, sim.Port());
  Send(fd, Control("CONNECT", '0', data.Port));
  EXPECT_EQ(Receive(fd, 100, 4), "");
  EXPECT_EQ(Receive(fd, 1000, 4), "ok\r\n");
  EXPECT_TRUE(data.Accept(2000).Valid());
  // TRYBABY read but never answered, once.
  EXPECT_EQ(sim.Request(Control("TRYBABY", '0', data.Port), 300), "");
  EXPECT_EQ(sim.Request(Control("TRYBABY", '0', data.Port)), "ok\r\n");
}

TEST(SimNetLink, DataConnectionDroppedAfterBytesAndDamagedUnits) {
  TSim sim(TSimFamily::Coldfire, "127.0.0.27");
  TDataServer data;
  TSimLinkFaults f;
  f.CorruptUnit.Count = 1;
  f.DropData.Count = 1;
  f.DropAfterBytes = 40;
  sim.Link->SetFaults(f);
  EXPECT_EQ(sim.Request(Control("CONNECT", '0', data.Port)), "ok\r\n");
  TFd conn = data.Accept(2000);
  ASSERT_TRUE(conn.Valid());
  EXPECT_EQ(sim.Request(Cmd(data.Port, "\x01")), "ok\r\n");
  bool closed = false;
  std::string got = Receive(conn, 2000, SIZE_MAX, &closed);
  EXPECT_TRUE(closed);
  ASSERT_EQ(got.size(), 40u);                     // cut inside the block
  EXPECT_EQ(static_cast<uint8_t>(got[0]), 0x40);  // magic damaged: 0xBF inverted
  EXPECT_TRUE(sim.LogHas("dropped after"));
  // The session outlives its data connection until the tool ends it.
  EXPECT_EQ(sim.Request(Control("TRYBABY", '0', data.Port)), "ok\r\n");
  EXPECT_EQ(sim.Request(Control("DISCONN", '0', data.Port)), "ok\r\n");
  // The fault fired once: the next session streams intact blocks.
  EXPECT_EQ(sim.Request(Control("CONNECT", '0', data.Port)), "ok\r\n");
  TFd again = data.Accept(2000);
  EXPECT_EQ(sim.Request(Cmd(data.Port, "\x01")), "ok\r\n");
  EXPECT_FALSE(CdcPayloads(Receive(again, 500)).empty());
}

TEST(SimNetLink, SeveralDevicesOnOnePortAtDifferentAddresses) {
  TSim a(TSimFamily::Coldfire, "127.0.0.31", 0, 0x1111);
  TSim b(TSimFamily::Coldfire, "127.0.0.32", a.Port(), 0x2222);
  ASSERT_EQ(a.Port(), b.Port());
  TDataServer da, db;
  EXPECT_EQ(a.Request(Control("CONNECT", '0', da.Port)), "ok\r\n");
  EXPECT_EQ(b.Request(Control("CONNECT", '0', db.Port)), "ok\r\n");
  TFd ca = da.Accept(2000), cb = db.Accept(2000);
  EXPECT_EQ(a.Request(Cmd(da.Port, "\x01")), "ok\r\n");
  EXPECT_EQ(b.Request(Cmd(db.Port, "\x01")), "ok\r\n");
  auto pa = CdcPayloads(Receive(ca, 500)), pb = CdcPayloads(Receive(cb, 500));
  ASSERT_FALSE(pa.empty());
  ASSERT_FALSE(pb.empty());
  EXPECT_NE(pa[0].find("00001111"), std::string::npos);
  EXPECT_NE(pb[0].find("00002222"), std::string::npos);
  EXPECT_EQ(platform::SimHostIsUp("127.0.0.31"), true);
}

TEST(SimNetLink, RestartClosesEverythingAndComesBackUnderTheNewAddress) {
  TSim sim(TSimFamily::Coldfire, "127.0.0.41");
  TDataServer data;
  EXPECT_EQ(sim.Request(Control("CONNECT", '0', data.Port)), "ok\r\n");
  TFd conn = data.Accept(2000);
  ASSERT_TRUE(conn.Valid());
  const uint16_t port = sim.Port();

  // A new address in the configuration block takes effect at the next start.
  TSimPersistent state = sim.Device->GetPersistent();
  state.Flash.replace(SimConfigAddr + 52, 4, SimBE32(0x7F00002A));  // 127.0.0.42
  sim.Device->SetPersistent(state);
  sim.Device->Restart();
  bool closed = false;
  Receive(conn, 2000, SIZE_MAX, &closed);
  EXPECT_TRUE(closed);
  uint64_t start = NowMs();
  while (platform::SimHostIsUp("127.0.0.41").value_or(false) && NowMs() - start < 2000) ::usleep(5000);
  EXPECT_EQ(platform::SimHostIsUp("127.0.0.41"), false);  // pings fail while silent
  // The new address is not the real loopback's either until the device is back there.
  EXPECT_EQ(platform::SimHostIsUp("127.0.0.42"), false);
  EXPECT_FALSE(Dial("127.0.0.41", port).Valid());

  start = NowMs();
  while (!platform::SimHostIsUp("127.0.0.42").value_or(false) && NowMs() - start < 3000) ::usleep(5000);
  EXPECT_EQ(platform::SimHostIsUp("127.0.0.42"), true);
  EXPECT_FALSE(platform::SimHostIsUp("127.0.0.41").has_value());
  EXPECT_EQ(sim.Link->GetAddress(), "127.0.0.42");
  EXPECT_EQ(sim.Link->GetControlPort(), port);
  sim.Ip = "127.0.0.42";
  // The device forgot the session.
  EXPECT_EQ(sim.Request(Control("TRYBABY", '0', data.Port)), "er\r\n");
  EXPECT_EQ(sim.Request(Control("CONNECT", '0', data.Port)), "ok\r\n");
}

TEST(SimNetLink, GarbageIsAnsweredOrDroppedAndLogged) {
  TSim sim(TSimFamily::Coldfire, "127.0.0.51");
  TDataServer data;
  struct TCase {
    std::string Bytes, Answer, Why;
  };
  const TCase cases[] = {
      {"HELLO\r\n", "er\r\n", "unknown request"},
      {Control("CONNECT", '7', data.Port), "er\r\n", "user field"},
      {std::string("CONNECT0\x7F\x00\x00\x01X\x10\x00\r\n", 17), "er\r\n", "CONNECT malformed"},
      {Control("CONNECT", '0', data.Port).substr(0, 15) + "\n\n", "er\r\n", "CONNECT malformed"},
      {std::string("CMD.... ", 8) + AddressBlock(data.Port) + " " + std::string(1, '\0'), "er\r\n",
       "CMD malformed"},
      {Control("CONNECT", '0', 0), "er\r\n", "without a data server"},
  };
  for (auto &c : cases) {
    EXPECT_EQ(sim.Request(c.Bytes), c.Answer) << c.Why;
    EXPECT_TRUE(sim.LogHas(c.Why)) << c.Why;
  }
  // A request that stops halfway is dropped after the request timeout, without an answer.
  TFd half = Dial(sim.Ip, sim.Port());
  Send(half, "CONNE");
  bool closed = false;
  EXPECT_EQ(Receive(half, 2000, SIZE_MAX, &closed), "");
  EXPECT_TRUE(closed);
  EXPECT_TRUE(sim.LogHas("incomplete request"));

  // Random bytes: every connection ends with a refusal or a close, never a hang.
  std::mt19937 rng(7);
  for (int i = 0; i < 40; ++i) {
    std::string junk(1 + rng() % 64, '\0');
    for (auto &ch : junk) ch = static_cast<char>(rng());
    if (i % 4 == 0) junk = "CMD.... " + junk;  // a known start, nonsense after it
    TFd fd = Dial(sim.Ip, sim.Port());
    ASSERT_TRUE(fd.Valid());
    Send(fd, junk);
    ::shutdown(fd.Fd, SHUT_WR);
    closed = false;
    Receive(fd, 3000, SIZE_MAX, &closed);
    EXPECT_TRUE(closed) << i;
  }
  // Still a working device.
  EXPECT_EQ(sim.Request(Control("CONNECT", '0', data.Port)), "ok\r\n");
}

// A session whose data connection cannot be made ends itself on its sender
// thread; the link must still own and join that thread, even when it stops
// at the same moment (once a use-after-free when the test freed the link).
TEST(SimNetLink, SendersNeverOutliveTheirLink) {
  for (int round = 0; round < 20; ++round) {
    TSim sim(TSimFamily::Coldfire, "127.0.0.61");
    uint16_t closedPort;
    {
      TDataServer gone;  // a port nobody listens on any more
      closedPort = gone.Port;
    }
    EXPECT_EQ(sim.Request(Control("CONNECT", '0', closedPort)), "ok\r\n");
    if (round % 2) {
      // Stop while the sender may still be connecting or ending itself.
      sim.Link->Stop();
      EXPECT_FALSE(sim.Link->IsUserConnected(1));
      continue;
    }
    const uint64_t start = NowMs();
    while (sim.Link->IsUserConnected(1) && NowMs() - start < 2000) ::usleep(1000);
    EXPECT_FALSE(sim.Link->IsUserConnected(1));
  }
}

TEST(SimNetLink, StepFaultTextForm) {
  TSimStepFault f;
  std::string error;
  ASSERT_TRUE(ParseSimStepFault("at:7:close-data", f, error)) << error;
  EXPECT_EQ(f.At, 7u);
  EXPECT_EQ(f.Action, TSimStepAction::CloseData);
  EXPECT_EQ(f.Kinds, srkAll);
  ASSERT_TRUE(ParseSimStepFault("at:12:er@cmd,block", f, error)) << error;
  EXPECT_EQ(f.Kinds, srkCmd | srkBlock);
  EXPECT_EQ(f.Action, TSimStepAction::AnswerEr);
  for (const char *bad : {"at:0:er", "at:x:er", "at:3", "at:3:nap", "at:3:er@bogus", "on:3:er", "at::er"}) {
    EXPECT_FALSE(ParseSimStepFault(bad, f, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ(f.Kinds, srkCmd | srkBlock);  // a refused text leaves the fault as it was
}

// "At request k, do X": only the k-th counted request is hit, and each
// action does what the tool will see.
TEST(SimNetLink, StepFaultHitsOnlyItsRequest) {
  TSim sim(TSimFamily::Coldfire, "127.0.0.71");
  TDataServer data;
  const std::string status = Cmd(data.Port, std::string("\x85\x42\x01", 3));
  auto setStep = [&](uint32_t at, TSimStepAction action, uint8_t kinds = srkAll) {
    sim.Link->SetStepFault({at, action, kinds});
  };

  // drop: closed unanswered, not carried out.
  setStep(1, TSimStepAction::DropControl);
  EXPECT_EQ(sim.Request(Control("CONNECT", '0', data.Port)), "");
  EXPECT_TRUE(sim.Link->StepFaultFired());
  EXPECT_FALSE(sim.Link->IsUserConnected(1));
  // silent: no answer, not carried out.
  setStep(1, TSimStepAction::Silent);
  EXPECT_EQ(sim.Request(Control("CONNECT", '0', data.Port), 300), "");
  EXPECT_FALSE(sim.Link->IsUserConnected(1));
  // close-data at CONNECT: the session is made, its data connection closes at once.
  setStep(1, TSimStepAction::CloseData);
  EXPECT_EQ(sim.Request(Control("CONNECT", '0', data.Port)), "ok\r\n");
  {
    TFd first = data.Accept(2000);
    ASSERT_TRUE(first.Valid());
    bool closed = false;
    Receive(first, 2000, SIZE_MAX, &closed);
    EXPECT_TRUE(closed);
  }
  EXPECT_EQ(sim.Link->SessionCount(), 1);
  EXPECT_EQ(sim.Request(Control("DISCONN", '0', data.Port)), "ok\r\n");

  setStep(2, TSimStepAction::AnswerEr, srkCmd);
  EXPECT_EQ(sim.Request(Control("CONNECT", '0', data.Port)), "ok\r\n");  // not counted
  TFd conn = data.Accept(2000);
  ASSERT_TRUE(conn.Valid());
  EXPECT_EQ(sim.Request(status), "ok\r\n");
  std::string clean = CdcPayloads(Receive(conn, 500)).at(0);
  EXPECT_EQ(sim.Request(status), "er\r\n");
  EXPECT_EQ(sim.Request(status), "ok\r\n");
  EXPECT_EQ(sim.Link->GetStepCount(), 3u);
  EXPECT_TRUE(sim.LogHas("fault: step 2 (CMD): er"));

  // corrupt: answered, but the answer's bytes are damaged.
  Receive(conn, 300);
  setStep(1, TSimStepAction::CorruptAnswer, srkCmd);
  EXPECT_EQ(sim.Request(status), "ok\r\n");
  std::vector<std::string> payloads = CdcPayloads(Receive(conn, 500));
  ASSERT_EQ(payloads.size(), 1u);
  EXPECT_NE(payloads[0], clean);
  EXPECT_EQ(payloads[0].size(), clean.size());
  EXPECT_EQ(sim.Request(status), "ok\r\n");
  EXPECT_EQ(CdcPayloads(Receive(conn, 500)).at(0), clean);  // only the next one

  // restart: acknowledged, not carried out (no answer on the data connection);
  // the device goes silent and every connection closes.
  setStep(1, TSimStepAction::Restart, srkCmd);
  EXPECT_EQ(sim.Request(status), "ok\r\n");
  bool closed = false;
  EXPECT_EQ(Receive(conn, 2000, SIZE_MAX, &closed), "");
  EXPECT_TRUE(closed);
  EXPECT_EQ(sim.Link->SessionCount(), 0);
  EXPECT_TRUE(sim.Device->IsSilent() || sim.LogHas("device back"));
  const uint64_t start = NowMs();
  while (!sim.Link->IsServing() && NowMs() - start < 3000) ::usleep(5000);
  EXPECT_TRUE(sim.Link->IsServing());
}
