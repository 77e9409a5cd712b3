// Scriptable servers on 127.0.0.1 for the mail clients' tests: a small POP3 mailbox and an SMTP
// server. Each serves one connection at a time on its own thread; every wait it makes also
// watches a stop signal, so destroying it never hangs, whatever a test's handler is doing.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;

namespace norva::testing {

class FakeServer;

// One accepted connection, served on the server's thread. Every operation gives up (and returns
// false) once the client has gone away or the server is stopping.
class PeerConnection {
 public:
  PeerConnection(const PeerConnection&) = delete;
  PeerConnection& operator=(const PeerConnection&) = delete;

  // Reads one line and records it in the server's log, without its CR LF.
  bool ReadLine(std::string& line);
  // Reads a data block as sent, through its terminating "." line, without recording it.
  bool ReadData(std::string& block);
  // Writes bytes; trickling, one byte per write, 1 ms apart.
  bool Send(std::string_view bytes);
  // Writes the pattern over and over until the client goes away.
  void SendForever(std::string_view pattern);
  // Writes the pattern over and over, one byte every gap, until the client goes away.
  void Drip(std::string_view pattern, std::chrono::milliseconds gap);
  // Says nothing until the client goes away or limit has passed, then closes; lines the
  // client sends meanwhile are still recorded.
  void Stall(std::chrono::milliseconds limit = std::chrono::seconds(30));
  // Takes the server's side of a TLS handshake (see FakeServer::UseTls); from then on every
  // operation goes over TLS. False, with the connection closed, when the handshake fails.
  bool StartTls();
  void Close();  // close_notify under TLS, then FIN
  void Reset();  // RST: SO_LINGER 0, then close
  bool IsOpen() const { return fd_ >= 0; }

 private:
  friend class FakeServer;
  PeerConnection(FakeServer& server, int fd) : server_(server), fd_(fd) {}
  ~PeerConnection() { Close(); }
  // Waits until fd_ is ready for events; false on stop or time-out (timeoutMs -1: none).
  bool Wait(short events, int timeoutMs);
  bool Pause(std::chrono::milliseconds pause);
  // Receives once into input_; false on stop, time-out, end of stream or error.
  bool Fill(int timeoutMs);
  // Takes one complete line out of input_ and records it.
  bool TakeLine(std::string& line);
  bool SendRaw(std::string_view bytes);

  FakeServer& server_;
  int fd_;
  std::string input_;
  bool trickle_ = false;
  ssl_st* ssl_ = nullptr;
};

// A port on 127.0.0.1 with nothing listening: bound (so no one else gets it), so connecting is
// refused.
class ClosedPort {
 public:
  ClosedPort();
  ~ClosedPort();
  uint16_t Port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// The IPv4 address that servers made from now on listen on: 127.0.0.1 unless a test sets another.
std::string& ListenHost();
// An IPv4 address of this machine that is not a loopback one ("" when it has none): a peer there
// is, to the client, on another machine.
std::string OtherThanLoopback();

// A line-command server on a free port: each line's first word picks the answer. A test can
// replace the answer to any command word, to "GREETING", or (SMTP) to "." after a data block.
class FakeServer {
 public:
  // Handles one command; arg is the text after the command word and its blank.
  using Override = std::function<void(PeerConnection&, const std::string& arg)>;

  void On(const std::string& command, Override handler);
  // Answers command with fixed bytes.
  void Reply(const std::string& command, std::string bytes);
  // Later connections send every reply a byte at a time.
  void Trickle(bool on);
  // Later connections can speak TLS with this certificate chain and key (PEM files): from the
  // first byte when implicit, else once a handler calls PeerConnection::StartTls.
  void UseTls(const std::string& certFile, const std::string& keyFile, bool implicit);

  uint16_t Port() const { return port_; }
  std::string Address() const { return host_ + ":" + std::to_string(port_); }
  // Every command line received so far, over all connections, in order.
  std::vector<std::string> Commands() const;
  int Connections() const;

 protected:
  FakeServer();
  virtual ~FakeServer();
  // Stops serving and joins the thread. The derived destructors call it first: the thread
  // calls Default.
  void Stop();
  void Answer(PeerConnection& c, const std::string& word, const std::string& arg);
  virtual void Default(PeerConnection& c, const std::string& word, const std::string& arg) = 0;

  mutable std::mutex mutex_;

 private:
  friend class PeerConnection;
  void Serve();

  std::map<std::string, Override> overrides_;
  bool trickle_ = false;
  ssl_ctx_st* tls_ = nullptr;
  bool implicitTls_ = false;
  std::vector<std::string> commands_;
  int connections_ = 0;
  int listenFd_ = -1;
  int wake_[2] = {-1, -1};  // written once by Stop, never drained
  uint16_t port_ = 0;
  std::string host_;
  std::thread thread_;
};

// A POP3 mailbox for "user"/"secret": USER, PASS, STAT, LIST n, TOP n k, RETR n (dot-stuffed,
// with the terminator), DELE n and QUIT. Messages have CR LF line ends; message n on the wire is
// messages[n - 1].
class FakePop3 : public FakeServer {
 public:
  explicit FakePop3(std::vector<std::string> messages) : messages_(std::move(messages)) {}
  ~FakePop3() override { Stop(); }

 private:
  void Default(PeerConnection& c, const std::string& word, const std::string& arg) override;

  const std::vector<std::string> messages_;
  std::string givenUser_;
};

// An SMTP server accepting HELO, MAIL, RCPT, DATA (354, the data block, then the "." reply) and
// QUIT.
class FakeSmtp : public FakeServer {
 public:
  ~FakeSmtp() override { Stop(); }
  // Every data block received, as it came: dot-stuffed, with its "." line.
  std::vector<std::string> Data() const;

 private:
  void Default(PeerConnection& c, const std::string& word, const std::string& arg) override;

  std::vector<std::string> data_;
};

}  // namespace norva::testing
