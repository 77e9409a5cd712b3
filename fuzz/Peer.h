// A server on 127.0.0.1 that answers one connection with fixed bytes: it writes them all, ends
// its side of the stream, and reads whatever the client sends until the client closes. The
// client therefore sees the same bytes and then the end of the stream on every run, and never
// has to wait for a time-out.
#pragma once

#include <string>
#include <thread>

namespace norva::fuzz {

class TScriptedPeer {
 public:
  explicit TScriptedPeer(std::string bytes);
  // Waits for the connection to end (the client must have closed it).
  ~TScriptedPeer();
  TScriptedPeer(const TScriptedPeer&) = delete;
  TScriptedPeer& operator=(const TScriptedPeer&) = delete;

  // "127.0.0.1:port"
  std::string Address() const;
  // Everything the client sent.
  const std::string& Received() const { return received_; }

 private:
  void Serve();
  std::string bytes_;
  std::string received_;
  std::thread thread_;
};

}  // namespace norva::fuzz
