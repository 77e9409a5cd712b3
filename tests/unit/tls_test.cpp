// TLS on the line transport against the fake servers on loopback: implicit TLS and STARTTLS,
// certificate verification and accepted certificates, and handshakes that stall or are canceled.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "mail/agConst.h"
#include "mail/mspop3cl.h"
#include "store/Pump.h"
#include "support/FakePeer.h"
#include "support/Helpers.h"
#include "support/TestCerts.h"

namespace norva {
namespace {

using namespace std::chrono_literals;
using testing::Certs;
using testing::FakePop3;
using testing::PeerConnection;
using testing::Raised;
using Lines = std::vector<std::string>;

// ---- the transport ----

// The transport alone: the mail clients make the connection in their own login step.
class TestSocket : public TagSocket {
 public:
  using TagSocket::ConnectSocket;
};

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Certs();
    sock.SetTimeOut(10);  // a fault makes a test fail, never hang
    sock.SetWinsockLoaded(true);
    sock.OnError = [this](TObject&, std::string& msg) { errors.push_back(msg); };
    SetMessagePump([this] { ++pumps; });
  }
  void TearDown() override { SetMessagePump(nullptr); }

  void Connect(const FakePop3& box, const std::string& host = "localhost") {
    sock.Server = host + ":" + std::to_string(box.Port());
    sock.Open();
    sock.ConnectSocket();
  }
  std::string Line() {
    std::string line;
    sock.ReadLine(line);
    return line;
  }

  TestSocket sock;
  Lines errors;
  int pumps = 0;
};

// Many small records arrive at once: those read ahead must be taken before polling again.
TEST_F(TlsTest, LinesAndADataBlockOverImplicitTlsInBothModes) {
  std::string block;
  for (int i = 0; block.size() < 40000; ++i) block += "line " + std::to_string(i) + " of data\r\n";
  for (bool blocking : {false, true}) {
    SCOPED_TRACE(blocking ? "blocking" : "non-blocking");
    FakePop3 box({});
    box.UseTls(Certs().localhost.cert, Certs().localhost.key, true);
    box.On("BLOCK", [&](PeerConnection& c, const std::string&) {
      c.Send("+OK\r\n");
      for (size_t at = 0; at < block.size(); at += 300) c.Send(block.substr(at, 300));
      c.Send(".\r\n");
    });
    sock.Blocking = blocking;
    sock.Security = TSecurity::SslTls;
    EXPECT_EQ(sock.PeerFingerprint(), "");
    Connect(box, blocking ? "localhost" : "127.0.0.1");  // a name, then an address to check
    EXPECT_TRUE(sock.TlsActive());
    EXPECT_EQ(sock.PeerFingerprint(), Certs().localhost.fingerprint);
    EXPECT_EQ(Line(), "+OK fake POP3 server ready");
    sock.SendLine("STAT");
    EXPECT_EQ(Line(), "+OK 0 0");
    sock.SendLine("BLOCK");
    EXPECT_EQ(Line(), "+OK");
    TMemoryStream data;
    sock.ReceiveData(0, data);
    EXPECT_EQ(data.Bytes(), block + ".\r\n");
    // The server's close_notify ends the connection as a plain close does.
    sock.SendLine("QUIT");
    EXPECT_EQ(Line(), "+OK bye");
    auto e = Raised<ESocketError>([&] { Line(); });
    EXPECT_EQ(e ? e->Code : 0, msgConnectionClosed);
    EXPECT_FALSE(sock.TlsActive());
    EXPECT_EQ(box.Commands(), (Lines{"STAT", "BLOCK", "QUIT"}));
  }
  // The same socket on a plain server: a new connection starts without TLS.
  FakePop3 plain({});
  sock.Security = TSecurity::None;
  Connect(plain);
  EXPECT_FALSE(sock.TlsActive());
  EXPECT_EQ(Line(), "+OK fake POP3 server ready");
  EXPECT_EQ(errors, Lines(2, SocketErrorText(msgConnectionClosed)));
}

TEST_F(TlsTest, AnUntrustedCertificateIsRefusedUnlessItIsTheAcceptedOne) {
  const std::string fingerprint = Certs().selfSigned.fingerprint;
  FakePop3 box({});
  box.UseTls(Certs().selfSigned.cert, Certs().selfSigned.key, true);
  sock.Security = TSecurity::SslTls;
  // Accepting another certificate does not help this one.
  for (std::string accepted : {std::string(), Certs().localhost.fingerprint}) {
    sock.AcceptedFingerprint = accepted;
    auto e = Raised<ETlsError>([&] { Connect(box); });
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->Untrusted);
    EXPECT_EQ(e->Fingerprint, fingerprint);
    EXPECT_EQ(std::string(e->what()), "The certificate of localhost could not be verified: " +
                                          std::string("self-signed certificate (SHA-256 ") +
                                          fingerprint + ")");
    EXPECT_FALSE(sock.IsOpen());
  }
  EXPECT_EQ(errors.size(), 2u);
  // Accepted, in another spelling: lower case, no colons.
  std::string spelled;
  for (char c : fingerprint)
    if (c != ':') spelled += char(std::tolower(c));
  sock.AcceptedFingerprint = spelled;
  Connect(box);
  EXPECT_EQ(sock.PeerFingerprint(), fingerprint);
  EXPECT_EQ(Line(), "+OK fake POP3 server ready");
}

// A certificate for another host is a trust question naming the mismatch; implicit TLS against
// a server that talks in the clear is a failed handshake, no trust question.
TEST_F(TlsTest, AnotherHostsCertificateIsUntrustedAndAFailedHandshakeIsNoQuestion) {
  const struct {
    const testing::TServerCert* cert;  // none: the server talks in the clear
    const char* host;
    std::string text;                  // in the error
  } cases[] = {
      {&Certs().otherHost, "localhost", "mismatch: it was not issued for the host name localhost"},
      {&Certs().otherHost, "127.0.0.1", "mismatch: it was not issued for the address 127.0.0.1"},
      {nullptr, "localhost", "TLS handshake with localhost failed: "},
  };
  sock.Security = TSecurity::SslTls;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    FakePop3 box({});
    if (c.cert) box.UseTls(c.cert->cert, c.cert->key, true);
    auto e = Raised<ETlsError>([&] { Connect(box, c.host); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Untrusted, c.cert != nullptr);
    EXPECT_EQ(e->Fingerprint, c.cert ? c.cert->fingerprint : "");
    EXPECT_NE(std::string(e->what()).find(c.text), std::string::npos) << e->what();
    EXPECT_FALSE(sock.IsOpen());
  }
}

TEST_F(TlsTest, AStalledHandshakeTimesOutOrIsCanceled) {
  for (bool cancel : {false, true}) {
    SCOPED_TRACE(cancel ? "cancel" : "time-out");
    FakePop3 box({});  // takes the client's hello as a line, never answers it
    box.On("GREETING", [](PeerConnection& c, const std::string&) { c.Stall(5s); });
    sock.Security = TSecurity::SslTls;
    sock.SetTimeOut(1);
    auto start = std::chrono::steady_clock::now();
    SetMessagePump([&] {
      if (cancel && std::chrono::steady_clock::now() - start > 300ms) sock.Cancel();
    });
    if (cancel)
      EXPECT_TRUE(Raised<ECanceledError>([&] { Connect(box, "127.0.0.1"); }));
    else
      EXPECT_TRUE(Raised<ETimedOutError>([&] { Connect(box, "127.0.0.1"); }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_FALSE(sock.IsOpen());
    EXPECT_FALSE(sock.TlsActive());
    sock.ResetState();
  }
}

// Whatever came in the clear after the reply that started TLS was injected on the way: it must
// not be taken for the answer to the first command over TLS.
TEST_F(TlsTest, StartTlsAfterPlainLinesDropsWhatCameInTheClear) {
  FakePop3 box({});
  box.UseTls(Certs().localhost.cert, Certs().localhost.key, false);
  box.On("STLS", [](PeerConnection& c, const std::string&) {
    c.Send("+OK begin TLS\r\n-ERR injected\r\n");
    c.StartTls();
  });
  Connect(box);
  EXPECT_FALSE(sock.TlsActive());
  EXPECT_EQ(Line(), "+OK fake POP3 server ready");
  sock.SendLine("STLS");
  EXPECT_EQ(Line(), "+OK begin TLS");
  sock.StartTLS();
  EXPECT_TRUE(sock.TlsActive());
  sock.SendLine("STAT");
  EXPECT_EQ(Line(), "+OK 0 0");
  EXPECT_EQ(box.Commands(), (Lines{"STLS", "STAT"}));
}

}  // namespace
}  // namespace norva
