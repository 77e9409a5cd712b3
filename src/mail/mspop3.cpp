// TmsCustomPOP: the POP3 commands and their replies.
#include "mail/mspop3.h"

#include <climits>

#include "mail/agConst.h"
#include "mail/mstoken.h"
#include "mail/msuucode.h"

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

}  // namespace

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
  if (OnRetrieving) OnRetrieving(*this, num);
  SendLine("RETR " + number);
  ExpectPositive();
  TMemoryStream block;
  ReceiveData(expected, block, DataLimit(expected));
  // The message as it was written: the server's dot-stuffing and the final "." line go here.
  TMemoryStream stream;
  stream.Assign(RemoveDotStuffing(block.Bytes()));
  SaveMessage(num, stream);
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
