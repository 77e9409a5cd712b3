// A scriptable TCP server on 127.0.0.1 for the mail clients' tests, and a small POP3 mailbox
// and SMTP server built on it. The peer serves one connection at a time on its own thread; every
// wait it makes also watches a stop signal, so destroying it never hangs, whatever the handler is
// doing.
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

namespace norva::testing {

class FakePeer;

// One accepted connection, driven by the peer's handler on the peer's thread. Every operation
// gives up (and returns false) once the client has gone away or the peer is stopping.
class PeerConnection {
 public:
  PeerConnection(const PeerConnection&) = delete;
  PeerConnection& operator=(const PeerConnection&) = delete;

  // Reads one line and records it in the peer's log, without its CR LF.
  bool ReadLine(std::string& line);
  // Reads a data block as sent, through its terminating "." line, without recording it.
  bool ReadData(std::string& block);
  // Writes bytes, split into pieces as set by SetPacing.
  bool Send(std::string_view bytes);
  // Later sends go out `chunk` bytes per write with `pause` between writes (chunk 0: whole).
  void SetPacing(size_t chunk, std::chrono::milliseconds pause);
  // Writes the pattern over and over until the client goes away.
  void SendForever(std::string_view pattern);
  // Says nothing until the client goes away or limit has passed, then closes; lines the
  // client sends meanwhile are still recorded. The limit keeps a client that never gives up
  // from waiting forever.
  void Stall(std::chrono::milliseconds limit = std::chrono::seconds(30));
  // Closes normally (FIN).
  void Close();
  // Closes with a reset (RST): SO_LINGER 0, then close.
  void Reset();
  bool IsOpen() const { return fd_ >= 0; }

 private:
  friend class FakePeer;
  PeerConnection(FakePeer& peer, int fd) : peer_(peer), fd_(fd) {}
  ~PeerConnection() { Close(); }
  // Waits until fd_ is ready for events; false on stop or time-out (timeoutMs -1: none).
  bool Wait(short events, int timeoutMs);
  bool Pause(std::chrono::milliseconds pause);
  // Receives once into input_; false on stop, time-out, end of stream or error.
  bool Fill(int timeoutMs);
  // Takes one complete line out of input_ and records it.
  bool TakeLine(std::string& line);
  bool SendRaw(std::string_view bytes);

  FakePeer& peer_;
  int fd_;
  std::string input_;
  size_t chunk_ = 0;
  std::chrono::milliseconds pause_{0};
};

class FakePeer {
 public:
  using Handler = std::function<void(PeerConnection&)>;

  // Starts listening on a free port and serving each connection with handler.
  explicit FakePeer(Handler handler);
  ~FakePeer();
  FakePeer(const FakePeer&) = delete;
  FakePeer& operator=(const FakePeer&) = delete;

  uint16_t Port() const { return port_; }
  // "127.0.0.1:" and the port.
  std::string Address() const;
  // Every line received so far, over all connections, in order.
  std::vector<std::string> Commands() const;
  int Connections() const;
  // Stops serving: waits in handlers end, connections close, the thread is joined.
  void Stop();

 private:
  friend class PeerConnection;
  void Serve();
  void Record(const std::string& line);

  Handler handler_;
  int listenFd_ = -1;
  int wake_[2] = {-1, -1};  // written once by Stop, never drained
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> commands_;
  int connections_ = 0;
  std::thread thread_;
};

// A port on 127.0.0.1 with nothing listening: the socket is bound (so no one else gets the
// port) but never listens, so connecting is refused.
class ClosedPort {
 public:
  ClosedPort();
  ~ClosedPort();
  ClosedPort(const ClosedPort&) = delete;
  ClosedPort& operator=(const ClosedPort&) = delete;
  uint16_t Port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A POP3 mailbox: USER/PASS, STAT, LIST n, TOP n k, RETR n (dot-stuffed, with the terminator),
// DELE n and QUIT. Messages are texts with CR LF line ends; message n on the wire is
// messages[n - 1]. A test can replace the handling of any command word, or of "GREETING".
class FakePop3 {
 public:
  // Handles one command; arg is the text after the command word and its blank.
  using Override = std::function<void(PeerConnection&, const std::string& arg)>;

  explicit FakePop3(std::vector<std::string> messages, std::string user = "user",
                    std::string password = "secret");

  void On(const std::string& command, Override handler);
  // Answers command with fixed bytes.
  void Reply(const std::string& command, std::string bytes);
  // Pacing for every reply of later connections (see PeerConnection::SetPacing).
  void SetPacing(size_t chunk, std::chrono::milliseconds pause);

  uint16_t Port() const { return peer_.Port(); }
  std::string Address() const { return peer_.Address(); }
  std::vector<std::string> Commands() const { return peer_.Commands(); }
  FakePeer& Peer() { return peer_; }

 private:
  void Serve(PeerConnection& c);
  void Answer(PeerConnection& c, const std::string& word, const std::string& arg);
  const std::string* Message(const std::string& arg) const;

  const std::vector<std::string> messages_;
  const std::string user_, password_;
  std::mutex mutex_;
  std::map<std::string, Override> overrides_;
  size_t chunk_ = 0;
  std::chrono::milliseconds pause_{0};
  std::string givenUser_;
  FakePeer peer_;  // last: stops before the members above go away
};

// An SMTP server: HELO, MAIL, RCPT, DATA (354, the data block, then the reply to it) and QUIT,
// each accepted. A test can replace the handling of any command word, of "GREETING", or of "."
// (the reply after a data block).
class FakeSmtp {
 public:
  // Handles one command; arg is the text after the command word and its blank.
  using Override = std::function<void(PeerConnection&, const std::string& arg)>;

  FakeSmtp();

  void On(const std::string& command, Override handler);
  // Answers command with fixed bytes.
  void Reply(const std::string& command, std::string bytes);

  uint16_t Port() const { return peer_.Port(); }
  std::string Address() const { return peer_.Address(); }
  // The command lines; data blocks are kept apart.
  std::vector<std::string> Commands() const { return peer_.Commands(); }
  // Every data block received, as it came: dot-stuffed, with its "." line.
  std::vector<std::string> Data() const;
  FakePeer& Peer() { return peer_; }

 private:
  void Serve(PeerConnection& c);
  void Answer(PeerConnection& c, const std::string& word, const std::string& arg);

  mutable std::mutex mutex_;
  std::map<std::string, Override> overrides_;
  std::vector<std::string> data_;
  FakePeer peer_;  // last: stops before the members above go away
};

}  // namespace norva::testing
