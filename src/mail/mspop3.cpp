// TmsCustomPOP: the POP3 commands and their replies.
#include "mail/mspop3.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include "mail/agConst.h"
#include "mail/mstoken.h"
#include "mail/msuucode.h"
#include "store/FileIO.h"

namespace norva {
namespace {

// A mailbox's size in octets. A mailbox may well hold more than 32 bits count: such a size
// stays at the largest that fits. Text that is not a number raises EConvertError.
int32_t MailboxOctets(const std::string& text) {
  try {
    return StrToInt(text);
  } catch (const EConvertError&) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) throw;
    return INT32_MAX;
  }
}

// Where a retrieved message goes as it arrives: memory up to kInMemoryLimit, then a temporary
// file (owner-only) that takes the bytes so far and the rest.
class TMessageSpool : public TStream {
 public:
  explicit TMessageSpool(int64_t memoryLimit) : memoryLimit_(memoryLimit) {}
  ~TMessageSpool() override {
    file_.reset();
    if (!path_.empty()) fileio::Unlink(path_);
  }
  TMessageSpool(const TMessageSpool&) = delete;
  TMessageSpool& operator=(const TMessageSpool&) = delete;

  int64_t Read(void* buffer, int64_t count) override { return Target().Read(buffer, count); }
  int64_t Write(const void* buffer, int64_t count) override {
    if (!file_ && memory_.Size() + count > memoryLimit_) MoveToFile();
    return Target().Write(buffer, count);
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    return Target().Seek(offset, origin);
  }
  int64_t Size() override { return Target().Size(); }
  void SetSize(int64_t size) override { Target().SetSize(size); }

  bool InFile() const { return bool(file_); }
  const std::string& Path() const { return path_; }
  TMemoryStream& Memory() { return memory_; }

 private:
  TStream& Target() { return file_ ? static_cast<TStream&>(*file_) : memory_; }
  void MoveToFile() {
    const int fd = fileio::CreateUnique(fileio::TempDirectory(), "RETR", path_);
    if (fd < 0) {
      const int err = errno;
      path_.clear();
      throw EStreamError("Cannot create a temporary file for a large message: " +
                             std::string(std::strerror(err)),
                         err);
    }
    ::close(fd);
    file_ = std::make_unique<TFileStream>(path_, TFileStream::fmOpenReadWrite);
    file_->WriteBuffer(memory_.Bytes().data(), memory_.Size());
    memory_ = TMemoryStream();  // its block is given back
  }

  int64_t memoryLimit_;
  TMemoryStream memory_;
  std::unique_ptr<TFileStream> file_;
  std::string path_;
};

// Takes a data block as it arrives and writes the message it carries: each line's leading
// dot-stuffing removed, the final "." line dropped. A message that grows past limit bytes
// (when limit > 0) raises EMessageTooLarge.
class TUnstuffingStream : public TStream {
 public:
  TUnstuffingStream(TStream& target, int64_t limit) : target_(target), limit_(limit) {}

  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* buffer, int64_t count) override {
    const char* p = static_cast<const char*>(buffer);
    out_.clear();
    for (int64_t i = 0; i < count; ++i) {
      const char c = p[i];
      switch (state_) {
        case State::LineStart:
          if (c == '.') {
            state_ = State::Dot;
            continue;
          }
          break;
        case State::Dot:  // a line that began with a dot
          if (c == '\r') {
            state_ = State::DotCr;
            continue;
          }
          if (c == '\n') {
            state_ = State::Done;
            continue;
          }
          break;
        case State::DotCr:
          if (c == '\n') {
            state_ = State::Done;
            continue;
          }
          out_ += '\r';
          break;
        case State::Middle:
          break;
        case State::Done:
          continue;
      }
      out_ += c;
      state_ = c == '\n' ? State::LineStart : State::Middle;
    }
    written_ += int64_t(out_.size());
    if (limit_ > 0 && written_ > limit_)
      throw EMessageTooLarge(MessageTooLargeText(-1, limit_));
    target_.WriteBuffer(out_.data(), int64_t(out_.size()));
    return count;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return written_; }
  int64_t Size() override { return written_; }
  void SetSize(int64_t) override {}

 private:
  enum class State { LineStart, Dot, DotCr, Middle, Done };
  TStream& target_;
  int64_t limit_;
  int64_t written_ = 0;
  State state_ = State::LineStart;
  std::string out_;
};

std::string Megabytes(int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / (1024.0 * 1024.0));
  return text;
}

}  // namespace

std::string MessageTooLargeText(int64_t size, int64_t limit) {
  return (size < 0 ? "The message is larger than " + Megabytes(limit)
                   : "The message is " + Megabytes(size)) +
         "; the largest message to retrieve is " + Megabytes(limit) +
         " (Options, Connection). It stays on the server.";
}

TmsCustomPOP::TmsCustomPOP() {
  ServiceName = "pop3";
  DefaultPort = 110;
}

int TmsCustomPOP::GetReplyCode(const std::string& line) {
  if (line.empty()) return 0;
  if (line[0] == '+') return 1;
  if (line[0] == '-') return -1;
  return 0;
}

void TmsCustomPOP::CheckCredentials() {
  if (UserName.empty()) RaiseSocketError(msgUserNameRequired);
  if (Password.empty() && TokenCommand.empty()) RaiseSocketError(msgPasswordRequired);
}

void TmsCustomPOP::Open() {
  CheckCredentials();
  ResetState();
  // The well-known port follows Security; a service the caller named stays.
  if (ServiceName == "pop3" || ServiceName == "pop3s") {
    const bool implicit = Security == TSecurity::SslTls;
    ServiceName = implicit ? "pop3s" : "pop3";
    DefaultPort = implicit ? 995 : 110;
  }
  TmsMailBase::Open();
}

void TmsCustomPOP::ExpectPositive() {
  if (ReadLine(LastReply) != 1) throw EServerError(LastReply);
}

void TmsCustomPOP::Login() {
  ResetState();
  ResetPasswordState();
  utf8Mode_ = false;
  // The token comes first: a helper that takes its time keeps no server waiting.
  const std::string token = TokenCommand.empty() ? std::string() : AccessToken();
  try {
    ConnectSocket();
    ExpectPositive();  // the greeting
    if (Security == TSecurity::StartTls) {
      // Whatever stands in the way of TLS, the user name and password stay unsent.
      SendLine("STLS");
      if (ReadLine(LastReply) != 1)
        RaiseTlsError(
            "The server does not offer STLS: the password is not sent without encryption.", false);
      StartTLS();
    }
    GuardPassword();
    if (!token.empty()) {
      TokenLogin(token);
    } else {
      SendLine("USER " + UserName);
      ExpectPositive();
      SendLine("PASS " + Password);
      ExpectPositive();
    }
    LoggedIn();
    Stat();
  } catch (const ESocketError&) {
    // A refused USER or PASS leaves the connection to the caller; a broken one is closed.
    Close();
    throw;
  }
}

void TmsCustomPOP::TokenLogin(const std::string& token) {
  // CAPA's "SASL" line names the mechanisms; OAUTHBEARER is the standard one, XOAUTH2 the one
  // every OAuth provider takes. A server that lists none still gets XOAUTH2.
  bool bearer = false;
  SendLine("CAPA");
  Counter.Start();
  if (ReadNextLine(LastReply) == 1) {
    std::string line;
    for (int lines = 0; ReadNextLine(line) >= 0 && line != "." && lines < 1000; ++lines) {
      const std::string words = " " + line + " ";
      if (line.rfind("SASL ", 0) == 0 && words.find(" OAUTHBEARER ") != std::string::npos)
        bearer = true;
    }
  }
  Counter.Stop();
  const std::string response =
      bearer ? OAuthBearerResponse(UserName, Host(), RemotePort, token)
             : XOAuth2Response(UserName, token);
  // The response goes on a line of its own: a token makes it longer than a command may be.
  SendLine(bearer ? "AUTH OAUTHBEARER" : "AUTH XOAUTH2");
  std::string line;
  if (ReadLine(line) != 1 || line.rfind("+OK", 0) == 0) {
    LastReply = line;
    throw EServerError(line);
  }
  SendLine(Base64Encode(response));
  ReadLine(line);
  LastReply = line;
  if (line.rfind("+OK", 0) == 0) return;
  if (line.rfind("+", 0) == 0) {
    // A refusal comes as a challenge holding the error; the client ends the exchange with an
    // empty response (XOAUTH2) or a lone ^A (OAUTHBEARER), and the server says -ERR.
    const std::string challenge = line.size() > 2 ? line.substr(2) : std::string();
    SendLine(bearer ? Base64Encode("\x01") : std::string());
    ReadLine(LastReply);
    RaiseTokenRefused(challenge);
  }
  RaiseTokenRefused("");
}

void TmsCustomPOP::Logout() {
  if (!IsOpen()) return;
  SendLine("QUIT");
  ExpectPositive();
}

void TmsCustomPOP::Stat() {
  SendLine("STAT");
  ExpectPositive();
  std::string rest = LastReply.size() > 4 ? LastReply.substr(4) : std::string();
  size_t blank = rest.find(' ');
  if (blank == std::string::npos) return;  // no figures: both keep their values
  int32_t count = StrToInt(rest.substr(0, blank));
  rest.erase(0, blank + 1);
  MailboxSize = MailboxOctets(rest.substr(0, rest.find(' ')));
  MessageCount = count;
}

int32_t TmsCustomPOP::ListedSize() const {
  std::string rest = LastReply.size() > 4 ? LastReply.substr(4) : std::string();
  size_t blank = rest.find(' ');
  const int32_t size = StrToIntDef(blank == std::string::npos ? rest : rest.substr(blank + 1), 0);
  return size < 0 ? 0 : size;
}

void TmsCustomPOP::Retrieve(int32_t num) {
  const std::string number = std::to_string(int64_t(num) + 1);
  SendLine("LIST " + number);
  ExpectPositive();
  const int32_t expected = ListedSize();
  // Refused before a byte of it is read: the session goes on.
  if (MaxMessageSize > 0 && expected > MaxMessageSize)
    throw EMessageTooLarge(MessageTooLargeText(expected, MaxMessageSize));
  if (OnRetrieving) OnRetrieving(*this, num);
  SendLine("RETR " + number);
  ExpectPositive();
  // The message as it was written: the server's dot-stuffing and the final "." line go as the
  // bytes arrive, and what does not fit in memory goes to a temporary file.
  TMessageSpool spool(kInMemoryLimit);
  TUnstuffingStream sink(spool, MaxMessageSize);
  try {
    ReceiveData(expected, sink, DataLimit(expected));
  } catch (const EMessageTooLarge& e) {
    // The rest of the block is still on its way: the session cannot go on.
    Close();
    throw ESocketError(e.what(), 0);
  } catch (const EStreamError& e) {
    Close();
    throw ESocketError(e.what(), 0);
  }
  if (!spool.InFile()) {
    SaveMessage(num, spool.Memory());
  } else {
    // The handler gets the head, whole lines of it, and finds the whole message in the file.
    TMemoryStream head;
    std::string bytes(size_t(kSpooledHead), '\0');
    spool.SetPosition(0);
    bytes.resize(size_t(spool.Read(bytes.data(), int64_t(bytes.size()))));
    if (const size_t lf = bytes.rfind('\n'); lf != std::string::npos) bytes.resize(lf + 1);
    head.Assign(std::move(bytes));
    spoolFile_ = spool.Path();
    spooledSize_ = spool.Size();
    struct Reset {
      TmsCustomPOP& pop;
      ~Reset() {
        pop.spoolFile_.clear();
        pop.spooledSize_ = 0;
      }
    } reset{*this};
    SaveMessage(num, head);
  }
  if (OnRetrieved) OnRetrieved(*this, num);
}

void TmsCustomPOP::StartUtf8() {
  SendLine("UTF8");
  std::string reply;
  utf8Mode_ = ReadLine(reply) == 1;
  LastReply = reply;
}

void TmsCustomPOP::Delete(int32_t num) {
  if (OnDeleting) OnDeleting(*this, num);
  SendLine("DELE " + std::to_string(int64_t(num) + 1));
  std::string reply;
  ReadLine(reply);  // a refusal does not stop the caller
  LastReply = reply;
}

}  // namespace norva
