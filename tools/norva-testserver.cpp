// norva-testserver: a small loopback POP3 and SMTP server over one mail folder, for demos and
// manual testing. Each *.eml file is a message (sorted by name); SMTP delivers into the same
// folder, so mail sent to oneself arrives at the next check. One thread, one poll loop.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxLine = 1000;                 // command line bytes, without CR LF
constexpr size_t kMaxMessage = 16 * 1024 * 1024;  // SMTP DATA bytes
constexpr time_t kIdleSeconds = 600;

std::string gMaildir, gUser = "demo", gPassword = "demo";
bool gMaildropLocked = false;
int gWakePipe[2] = {-1, -1};
volatile sig_atomic_t gStop = 0;

void OnSignal(int) {
  gStop = 1;
  const char c = 0;
  (void)!write(gWakePipe[1], &c, 1);
}

std::string Upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Strict decimal: digits only, no sign, no overflow.
bool ParseNumber(const std::string& text, long& value) {
  if (text.empty() || text.size() > 9) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

bool ReadFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  bytes = buffer.str();
  return !in.bad();
}

// The file's lines, each without its line end (LF or CR LF).
std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> MessageFiles() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(gMaildir, ec))
    if (entry.path().extension() == ".eml" && entry.is_regular_file(ec))
      names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A name sorting after every message in the folder, given the greatest one without ".eml": its
// trailing number plus one at the same width, or "_0001" appended where that number would
// overflow or is missing ("_" sorts after the "." of ".eml").
std::string NextName(const std::string& greatest) {
  if (greatest.empty()) return "0001";
  size_t digits = greatest.size();
  while (digits > 0 && std::isdigit(static_cast<unsigned char>(greatest[digits - 1]))) --digits;
  std::string number = greatest.substr(digits);
  if (number.empty() || number.find_first_not_of('9') == std::string::npos)
    return greatest + "_0001";
  for (size_t i = number.size(); i-- > 0;) {
    if (number[i] != '9') {
      ++number[i];
      break;
    }
    number[i] = '0';
  }
  return greatest.substr(0, digits) + number;
}

// Writes the message to a temporary file, then links it under a new name that no other file
// has (link refuses to replace one), so readers never see a partial message.
bool Deliver(const std::string& message) {
  const std::string temp = gMaildir + "/.incoming-" + std::to_string(getpid()) + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(message.data(), std::streamsize(message.size()));
    out.flush();
    if (!out) {
      unlink(temp.c_str());
      return false;
    }
  }
  std::vector<std::string> names = MessageFiles();
  std::string stem = names.empty() ? "" : names.back().substr(0, names.back().size() - 4);
  for (int attempt = 0; attempt < 100; ++attempt) {
    stem = NextName(stem);
    if (link(temp.c_str(), (gMaildir + "/" + stem + ".eml").c_str()) == 0) {
      unlink(temp.c_str());
      return true;
    }
    if (errno != EEXIST) break;
  }
  unlink(temp.c_str());
  return false;
}

struct Message {
  std::string name;
  size_t size = 0;  // with CR LF line ends, as RETR sends it
  bool deleted = false;
};

class Connection {
 public:
  Connection(int fd, bool smtp) : fd_(fd), smtp_(smtp), lastActive_(time(nullptr)) {
    Reply(smtp ? "220 127.0.0.1 norva-testserver ESMTP ready" : "+OK norva-testserver ready");
  }
  ~Connection() {
    if (locked_) gMaildropLocked = false;
    close(fd_);
  }
  int fd() const { return fd_; }
  bool WantsWrite() const { return !out_.empty(); }
  bool Finished() const { return closing_ && out_.empty(); }
  bool Idle(time_t now) const { return now - lastActive_ > kIdleSeconds; }

  // False when the peer has gone.
  bool OnReadable() {
    char buffer[16384];
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n <= 0) return n < 0 && (errno == EAGAIN || errno == EINTR);
    lastActive_ = time(nullptr);
    in_.append(buffer, size_t(n));
    for (size_t end; !closing_ && (end = in_.find('\n')) != std::string::npos;) {
      std::string line = in_.substr(0, end);
      in_.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (inData_) {
        DataLine(line);
      } else if (discarding_) {
        discarding_ = false;  // the rest of a refused long line
      } else if (line.size() > kMaxLine) {
        LineTooLong();
      } else {
        smtp_ ? Smtp(line) : Pop3(line);
      }
    }
    // A line without an end that is already too long: a message is refused at its final dot, a
    // command line now, with its rest dropped as it comes.
    if (inData_ && in_.size() > kMaxMessage) {
      tooBig_ = true;
      in_.clear();
    } else if (!inData_ && in_.size() > kMaxLine + 1) {
      if (!discarding_) LineTooLong();
      discarding_ = true;
      in_.clear();
    }
    return true;
  }

  bool OnWritable() {
    const ssize_t n = write(fd_, out_.data(), out_.size());
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    out_.erase(0, size_t(n));
    return true;
  }

 private:
  void Reply(const std::string& line) { (out_ += line) += "\r\n"; }
  void LineTooLong() { Reply(smtp_ ? "500 5.5.2 line too long" : "-ERR line too long"); }

  // ---- POP3 ----

  void Pop3(const std::string& line) {
    const std::vector<std::string> w = Words(line);
    const std::string cmd = w.empty() ? "" : Upper(w[0]);
    if (cmd == "QUIT") return Quit();
    if (cmd == "CAPA") return Reply("+OK\r\nUSER\r\nTOP\r\nUIDL\r\n.");
    if (!loggedIn_) {
      if (cmd == "USER" && w.size() == 2) {
        user_ = w[1];
        return Reply("+OK send PASS");
      }
      if (cmd == "PASS" && !user_.empty()) {
        const std::string password = line.size() > 5 ? line.substr(5) : "";
        if (user_ != gUser || password != gPassword) {
          user_.clear();
          return Reply("-ERR [AUTH] wrong user name or password");
        }
        if (gMaildropLocked) return Reply("-ERR [IN-USE] the mailbox is in use");
        gMaildropLocked = locked_ = loggedIn_ = true;
        Snapshot();
        return Reply("+OK " + std::to_string(messages_.size()) + " messages");
      }
      return Reply("-ERR log in first with USER and PASS");
    }
    if (cmd == "NOOP" && w.size() == 1) return Reply("+OK");
    if (cmd == "STAT" && w.size() == 1) {
      size_t count = 0, bytes = 0;
      for (const Message& m : messages_)
        if (!m.deleted) ++count, bytes += m.size;
      return Reply("+OK " + std::to_string(count) + " " + std::to_string(bytes));
    }
    if (cmd == "RSET" && w.size() == 1) {
      for (Message& m : messages_) m.deleted = false;
      return Reply("+OK");
    }
    if ((cmd == "LIST" || cmd == "UIDL") && w.size() <= 2) {
      auto item = [&](size_t i) {
        return std::to_string(i + 1) + " " +
               (cmd == "LIST" ? std::to_string(messages_[i].size) : messages_[i].name);
      };
      if (w.size() == 2) {
        Message* m = Find(w[1]);
        return m ? Reply("+OK " + item(size_t(m - messages_.data()))) : void();
      }
      Reply("+OK");
      for (size_t i = 0; i < messages_.size(); ++i)
        if (!messages_[i].deleted) Reply(item(i));
      return Reply(".");
    }
    if (cmd == "DELE" && w.size() == 2) {
      if (Message* m = Find(w[1])) {
        m->deleted = true;
        Reply("+OK marked for deletion");
      }
      return;
    }
    long lines = -1;
    if ((cmd == "RETR" && w.size() == 2) ||
        (cmd == "TOP" && w.size() == 3 && ParseNumber(w[2], lines))) {
      if (Message* m = Find(w[1])) SendMessage(*m, lines);
      return;
    }
    if (cmd == "TOP") return Reply("-ERR usage: TOP message lines");
    Reply("-ERR unknown command or wrong arguments");
  }

  void Snapshot() {
    for (const std::string& name : MessageFiles()) {
      std::string bytes;
      if (!ReadFile(gMaildir + "/" + name, bytes)) continue;
      Message m{name, 0, false};
      for (const std::string& l : Lines(bytes)) m.size += l.size() + 2;
      messages_.push_back(m);
    }
  }

  // The message numbered by `text`, or null after replying -ERR.
  Message* Find(const std::string& text) {
    long n = 0;
    if (!ParseNumber(text, n) || n < 1 || size_t(n) > messages_.size()) {
      Reply("-ERR no such message");
      return nullptr;
    }
    Message& m = messages_[size_t(n - 1)];
    if (m.deleted) {
      Reply("-ERR message " + text + " is deleted");
      return nullptr;
    }
    return &m;
  }

  // The whole message, or (bodyLines >= 0) its header and that many body lines; dot-stuffed.
  void SendMessage(const Message& m, long bodyLines) {
    std::string bytes;
    if (!ReadFile(gMaildir + "/" + m.name, bytes)) return Reply("-ERR cannot read the message");
    Reply("+OK " + std::to_string(m.size) + " octets");
    bool inBody = false;
    for (const std::string& line : Lines(bytes)) {
      if (inBody && bodyLines >= 0 && bodyLines-- == 0) break;
      if (line.empty()) inBody = true;
      Reply(line.starts_with(".") ? "." + line : line);
    }
    Reply(".");
  }

  void Quit() {
    bool allRemoved = true;
    for (const Message& m : messages_)
      if (m.deleted && unlink((gMaildir + "/" + m.name).c_str()) != 0 && errno != ENOENT)
        allRemoved = false;
    messages_.clear();
    Reply(allRemoved ? "+OK bye" : "-ERR some deleted messages were not removed");
    closing_ = true;
  }

  // ---- SMTP ----

  // The address inside <...> after a "FROM:" or "TO:" prefix; false when malformed.
  static bool Path(const std::string& arg, const std::string& prefix, std::string& address) {
    if (Upper(arg.substr(0, prefix.size())) != prefix) return false;
    std::string rest = arg.substr(prefix.size());
    rest.erase(0, rest.find_first_not_of(' '));
    const size_t close = rest.find('>');
    if (rest.empty() || rest[0] != '<' || close == std::string::npos) return false;
    address = rest.substr(1, close - 1);
    return true;
  }

  void Smtp(const std::string& line) {
    const size_t space = line.find(' ');
    const std::string cmd = Upper(line.substr(0, space));
    const std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
    if (cmd == "HELO" || cmd == "EHLO") {
      greeted_ = true;
      ResetTransaction();
      if (cmd == "HELO") return Reply("250 127.0.0.1 hello " + arg);
      return Reply("250-127.0.0.1 hello " + arg + "\r\n250-8BITMIME\r\n250 SIZE " +
                   std::to_string(kMaxMessage));
    }
    if (cmd == "QUIT") {
      Reply("221 2.0.0 bye");
      closing_ = true;
      return;
    }
    if (cmd == "NOOP") return Reply("250 2.0.0 OK");
    if (cmd == "RSET") {
      ResetTransaction();
      return Reply("250 2.0.0 OK");
    }
    if (cmd == "MAIL" || cmd == "RCPT" || cmd == "DATA") {
      if (!greeted_) return Reply("503 5.5.1 send HELO or EHLO first");
      std::string address;
      if (cmd == "MAIL") {
        if (hasSender_) return Reply("503 5.5.1 sender already given");
        if (!Path(arg, "FROM:", address)) return Reply("501 5.5.4 usage: MAIL FROM:<address>");
        hasSender_ = true;
        return Reply("250 2.1.0 sender OK");
      }
      if (cmd == "RCPT") {
        if (!hasSender_) return Reply("503 5.5.1 send MAIL first");
        if (!Path(arg, "TO:", address) || address.empty())
          return Reply("501 5.5.4 usage: RCPT TO:<address>");
        ++recipients_;
        return Reply("250 2.1.5 recipient OK");
      }
      if (!arg.empty()) return Reply("501 5.5.4 DATA takes no arguments");
      if (recipients_ == 0) return Reply("503 5.5.1 send RCPT first");
      inData_ = true;
      data_.clear();
      tooBig_ = false;
      return Reply("354 end data with <CR><LF>.<CR><LF>");
    }
    if (cmd == "VRFY" || cmd == "EXPN" || cmd == "HELP" || cmd == "AUTH" || cmd == "STARTTLS")
      return Reply("502 5.5.1 not implemented");
    Reply("500 5.5.2 unknown command");
  }

  void DataLine(const std::string& line) {
    if (line == ".") {
      inData_ = false;
      if (tooBig_)
        Reply("552 5.3.4 message too big");
      else if (Deliver(data_))
        Reply("250 2.0.0 delivered");
      else
        Reply("451 4.3.0 cannot store the message: " + std::string(std::strerror(errno)));
      data_.clear();
      ResetTransaction();
      return;
    }
    const std::string text = line.starts_with(".") ? line.substr(1) : line;
    if (data_.size() + text.size() + 2 > kMaxMessage) tooBig_ = true;
    if (!tooBig_) (data_ += text) += "\r\n";
  }

  void ResetTransaction() {
    hasSender_ = false;
    recipients_ = 0;
  }

  int fd_;
  bool smtp_;
  time_t lastActive_;
  std::string in_, out_;
  bool closing_ = false, discarding_ = false;
  // POP3
  std::string user_;
  bool loggedIn_ = false, locked_ = false;
  std::vector<Message> messages_;
  // SMTP
  bool greeted_ = false, hasSender_ = false, inData_ = false, tooBig_ = false;
  int recipients_ = 0;
  std::string data_;
};

int Listen(int port, int& bound) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(uint16_t(port));
  socklen_t length = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, O_NONBLOCK);
  bound = ntohs(addr.sin_port);
  return fd;
}

int Usage(const std::string& problem) {
  std::cerr << "norva-testserver: " << problem << "\n"
            << "usage: norva-testserver --maildir DIR [--pop3-port N] [--smtp-port N]\n"
               "           [--user U --password P] [--ready-file F]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string readyFile;
  long ports[2] = {0, 0};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") return Usage("a loopback POP3 and SMTP server"), 0;
    if (i + 1 >= argc) return Usage(a + " needs a value");
    const std::string v = argv[++i];
    if (a == "--maildir") {
      gMaildir = v;
    } else if (a == "--user") {
      gUser = v;
    } else if (a == "--password") {
      gPassword = v;
    } else if (a == "--ready-file") {
      readyFile = v;
    } else if (a == "--pop3-port" || a == "--smtp-port") {
      long& port = ports[a == "--smtp-port"];
      if (!ParseNumber(v, port) || port > 65535) return Usage("bad port '" + v + "'");
    } else {
      return Usage("unknown option " + a);
    }
  }
  if (gMaildir.empty()) return Usage("--maildir is required");
  if (!fs::is_directory(gMaildir)) return Usage("no folder " + gMaildir);

  if (pipe2(gWakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int bound[2] = {0, 0};
  const int listeners[2] = {Listen(int(ports[0]), bound[0]), Listen(int(ports[1]), bound[1])};
  if (listeners[0] < 0 || listeners[1] < 0) {
    std::cerr << "norva-testserver: cannot listen: " << std::strerror(errno) << "\n";
    return 1;
  }
  const std::string ready =
      "POP3_PORT=" + std::to_string(bound[0]) + "\nSMTP_PORT=" + std::to_string(bound[1]) + "\n";
  if (!readyFile.empty()) {
    // Written whole under a temporary name, so a reader never sees half of it.
    const std::string temp = readyFile + ".tmp";
    std::ofstream(temp) << ready;
    if (std::rename(temp.c_str(), readyFile.c_str()) != 0) {
      std::cerr << "norva-testserver: cannot write " << readyFile << "\n";
      return 1;
    }
  }
  std::cout << ready << std::flush;

  std::vector<std::unique_ptr<Connection>> connections;
  while (!gStop) {
    std::vector<pollfd> fds{
        {gWakePipe[0], POLLIN, 0}, {listeners[0], POLLIN, 0}, {listeners[1], POLLIN, 0}};
    for (const auto& c : connections)
      fds.push_back({c->fd(), short(POLLIN | (c->WantsWrite() ? POLLOUT : 0)), 0});
    if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) break;
    for (int l = 0; l < 2; ++l) {
      if (!(fds[size_t(l) + 1].revents & POLLIN)) continue;
      const int fd = accept4(listeners[l], nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) connections.push_back(std::make_unique<Connection>(fd, l == 1));
    }
    const time_t now = time(nullptr);
    for (size_t i = 0; i < connections.size(); ++i) {
      Connection& c = *connections[i];
      const short events = i + 3 < fds.size() ? fds[i + 3].revents : 0;
      bool alive = !c.Idle(now);
      if (alive && (events & POLLOUT)) alive = c.OnWritable();
      if (alive && (events & (POLLIN | POLLHUP | POLLERR))) alive = c.OnReadable();
      if (!alive || c.Finished()) connections[i].reset();
    }
    std::erase(connections, nullptr);
  }
  connections.clear();
  if (!readyFile.empty()) unlink(readyFile.c_str());
  return 0;
}
