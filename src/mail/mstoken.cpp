// The token command and the OAuth 2.0 SASL responses.
#include "mail/mstoken.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "store/Exception.h"
#include "store/Pump.h"

extern char** environ;

namespace norva {

namespace {

constexpr size_t kOutputLimit = 64 * 1024;

std::string FirstLine(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  const size_t end = text.find_first_of("\r\n", begin);
  std::string line = text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
  return line;
}

// A SASL name in a GS2 header: "," and "=" are escaped (RFC 5801).
std::string SaslName(const std::string& name) {
  std::string out;
  for (char c : name) {
    if (c == ',')
      out += "=2C";
    else if (c == '=')
      out += "=3D";
    else
      out += c;
  }
  return out;
}

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() {
    if (::pipe2(fd, O_CLOEXEC) != 0) throw Exception("The token command could not start: " +
                                                     std::string(std::strerror(errno)));
  }
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
  void CloseWrite() {
    ::close(fd[1]);
    fd[1] = -1;
  }
};

}  // namespace

std::string RunTokenCommand(const std::string& command, int32_t timeOutSeconds,
                            const std::function<bool()>& canceled) {
  Pipe out, err;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);
  // Its own process group, so that a time-out ends whatever the shell started.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, "/bin/sh", &actions, &attributes,
                                    const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0)
    throw Exception("The token command could not start: " + std::string(std::strerror(spawned)));
  out.CloseWrite();
  err.CloseWrite();

  std::string output, errors;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(std::max(timeOutSeconds, 1));
  std::string stopped;
  bool exited = false;
  int exitStatus = 0;
  for (bool outOpen = true, errOpen = true; outOpen || errOpen;) {
    if (std::chrono::steady_clock::now() >= deadline) {
      stopped = "The token command did not finish within " +
                std::to_string(std::max(timeOutSeconds, 1)) + " seconds.";
    } else if (canceled && canceled()) {
      stopped = "The token command was stopped.";
    }
    if (!stopped.empty()) {
      ::kill(-pid, SIGKILL);
      break;
    }
    // Once the shell has ended, what it printed is all there is, even when something it
    // started in the background still holds the pipes.
    int status = 0;
    const bool ended = exited || ::waitpid(pid, &status, WNOHANG) == pid;
    if (ended && !exited) {
      exited = true;
      exitStatus = status;
    }
    pollfd fds[2] = {{outOpen ? out.fd[0] : -1, POLLIN, 0}, {errOpen ? err.fd[0] : -1, POLLIN, 0}};
    const int ready = ::poll(fds, 2, exited ? 0 : 50);
    if (ready < 0 && errno != EINTR) break;
    if (exited && ready == 0) break;
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        (i == 0 ? outOpen : errOpen) = false;
        continue;
      }
      std::string& into = i == 0 ? output : errors;
      // Past the limit the bytes are read and dropped, so that the command never blocks.
      into.append(buffer, std::min(size_t(n), kOutputLimit - std::min(into.size(), kOutputLimit)));
    }
    ProcessMessages();
  }
  int status = exitStatus;
  if (!exited)
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  if (!stopped.empty()) throw Exception(stopped);
  const std::string reason = FirstLine(errors);
  if (WIFSIGNALED(status))
    throw Exception("The token command was ended by signal " + std::to_string(WTERMSIG(status)) +
                    (reason.empty() ? "." : ": " + reason));
  if (WEXITSTATUS(status) != 0)
    throw Exception("The token command failed (exit status " +
                    std::to_string(WEXITSTATUS(status)) + ")" +
                    (reason.empty() ? "." : ": " + reason));
  std::string token = FirstLine(output);
  if (token.empty())
    throw Exception("The token command printed no token" + (reason.empty() ? "." : ": " + reason));
  return token;
}

std::string XOAuth2Response(const std::string& user, const std::string& token) {
  return "user=" + user + "\x01" + "auth=Bearer " + token + "\x01\x01";
}

std::string OAuthBearerResponse(const std::string& user, const std::string& host, uint16_t port,
                                const std::string& token) {
  return "n,a=" + SaslName(user) + ",\x01" + "host=" + host + "\x01" +
         "port=" + std::to_string(port) + "\x01" + "auth=Bearer " + token + "\x01\x01";
}

}  // namespace norva
