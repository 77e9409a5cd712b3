// TmsSMTP: the SMTP commands, the envelope and the data block.
#include "mail/mssmtp.h"

#include <algorithm>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "mail/agConst.h"
#include "mail/msmime.h"
#include "mail/mstoken.h"
#include "mail/msuucode.h"
#include "store/Pump.h"

namespace norva {
namespace {

// The command that names address in the envelope. An address with a line break or a zero byte
// would end the command early or smuggle in one of its own, and one that makes the command
// longer than kMaxCommand would be cut into another address: both are refused.
std::string EnvelopeCommand(std::string_view prefix, const std::string& address,
                            const std::string& whose) {
  if (address.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    throw EMessageError(whose + " contains a line break or a zero byte");
  std::string command = std::string(prefix) + address + ">";
  if (command.size() > TmsSMTP::kMaxCommand)
    throw EMessageError(whose + " is longer than " +
                        std::to_string(TmsSMTP::kMaxCommand - prefix.size() - 1) + " bytes");
  return command;
}

// Copies the encoded message into out as the data block goes on the wire: every line end (CR LF,
// or a lone CR or LF, which a server may take for one) becomes CR LF, a line that begins with "."
// gets one more in front, a last line without a line end gets one, and the "." line follows.
// True when the message has a byte from 128 up.
bool WriteDataBlock(TStream& in, TStream& out) {
  bool eightBit = false;
  in.SetPosition(0);
  char buffer[16384];
  std::string block;
  bool lineStart = true;
  bool afterCR = false;  // the last byte was a CR, already written as CR LF
  for (;;) {
    const int64_t n = in.Read(buffer, sizeof buffer);
    if (n <= 0) break;
    block.clear();
    for (int64_t i = 0; i < n; ++i) {
      const char c = buffer[i];
      if (afterCR && c == '\n') {
        afterCR = false;
        continue;
      }
      afterCR = c == '\r';
      if (c == '\r' || c == '\n') {
        block += "\r\n";
        lineStart = true;
        continue;
      }
      if (lineStart && c == '.') block += '.';
      if (uint8_t(c) >= 0x80) eightBit = true;
      block += c;
      lineStart = false;
    }
    out.WriteString(block);
  }
  if (!lineStart) out.WriteString("\r\n");
  out.WriteString(".\r\n");
  return eightBit;
}

EDeliveryUnknown DeliveryUnknown(const std::string& why) {
  return EDeliveryUnknown("The server did not confirm the message after receiving it (" + why +
                          "): it may have been delivered, so it is not sent again.");
}

}  // namespace

TmsSMTP::TmsSMTP() {
  ServiceName = "smtp";
  DefaultPort = 25;
}

void TmsSMTP::Open() {
  if (Server.empty()) RaiseSocketError(msgServerRequired);
  ResetState();
  // The well-known port follows Security; a service the caller named stays.
  static constexpr std::pair<const char*, uint16_t> kServices[] = {
      {"smtp", 25}, {"submissions", 465}, {"submission", 587}};  // by TSecurity
  for (const auto& service : kServices) {
    if (ServiceName != service.first) continue;
    std::tie(ServiceName, DefaultPort) = kServices[size_t(Security)];
    break;
  }
  TmsMailBase::Open();
}

void TmsSMTP::ExpectReply(int hundreds) {
  const int code = ReadReply();
  if (code < 0 || code / 100 != hundreds) throw EServerError(LastReply);
}

void TmsSMTP::Login() {
  Extensions.clear();
  ResetPasswordState();
  // The token comes first: a helper that takes its time keeps no server waiting.
  const std::string token =
      Authenticate && !TokenCommand.empty() ? AccessToken() : std::string();
  try {
    ConnectSocket();
    ExpectReply(2);  // the greeting
  } catch (const ESocketError&) {
    Close();  // a broken connection is closed, so that the next Connect starts afresh
    throw;
  }
  if (Security == TSecurity::None && !Authenticate) {
    // A refused greeting leaves the connection to the caller, as before a plain HELO.
    try {
      Hello();
    } catch (const ESocketError&) {
      Close();
      throw;
    }
    return;
  }
  // A session that was to be secured or authenticated is never left half done: whatever fails
  // closes it, so that no later Connect takes it for a logged-in one.
  try {
    const bool extended = Hello();
    if (Security == TSecurity::StartTls) {
      if (!extended || !HasExtension("STARTTLS"))
        RaiseTlsError(
            "The server does not offer STARTTLS: Norva sends nothing more without encryption.",
            false);
      SendLine("STARTTLS");
      if (ReadReply() / 100 != 2) RaiseTlsError("The server refused STARTTLS: " + LastReply, false);
      StartTLS();
      // What the server said before TLS may have been forged on the way: ask again.
      if (!Hello()) throw EServerError("The server refused EHLO after STARTTLS: " + LastReply);
    }
    if (Authenticate) {
      if (!extended)
        throw EServerError("The server does not understand EHLO, so it offers no authentication.");
      GuardPassword();
      SendAuth(token);
    }
  } catch (...) {
    if (IsOpen()) Close();
    throw;
  }
}

bool TmsSMTP::Hello() {
  Extensions.clear();
  SendLine("EHLO " + (LocalHostName.empty() ? std::string("localhost") : LocalHostName));
  std::string line;
  Counter.Start();  // for the whole reply
  const int code = ReadNextLine(line);
  LastReply = line;
  // Every line after the first of a positive reply names an extension.
  for (int lines = 1; line.size() > 3 && line[3] == '-'; ++lines) {
    if (lines > kMaxReplyLines) RaiseReplyTooLong();
    ReadNextLine(line);
    LastReply = line;
    std::string keyword = line.size() > 4 ? line.substr(4) : std::string();
    for (char& c : keyword)
      if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    if (code / 100 == 2) Extensions.push_back(keyword);
  }
  Counter.Stop();
  if (code / 100 == 2) return true;
  Extensions.clear();
  // A server that refuses EHLO for good (5xx: it does not know it, or will not have it) is
  // greeted the old way (RFC 5321 section 4.1.4); a 4xx reply means it is closing.
  if (code / 100 != 5) throw EServerError(LastReply);
  SendLine("HELO " + LocalHostName);
  if (ReadReply() / 100 != 2) {
    // Some servers refuse the host name they are told: greet them without one.
    SendLine("HELO");
    ExpectReply(2);
  }
  return false;
}

bool TmsSMTP::HasExtension(const std::string& keyword) const {
  for (const std::string& line : Extensions)
    if (line == keyword || line.rfind(keyword + " ", 0) == 0 || line.rfind(keyword + "=", 0) == 0)
      return true;
  return false;
}

bool TmsSMTP::OffersAuth(const std::string& mechanism) const {
  for (const std::string& line : Extensions) {
    // "AUTH PLAIN LOGIN", or the old "AUTH=PLAIN LOGIN".
    if (line.rfind("AUTH", 0) != 0 || line.size() < 5 || (line[4] != ' ' && line[4] != '='))
      continue;
    std::string rest = " " + line.substr(5) + " ";
    if (rest.find(" " + mechanism + " ") != std::string::npos) return true;
  }
  return false;
}

void TmsSMTP::SendAuth(const std::string& token) {
  // Neither the password nor its encoding ever goes into an error: only the server's reply.
  const auto refused = [this] { throw EServerError("Authentication failed: " + LastReply); };
  if (!token.empty()) {
    const bool bearer = OffersAuth("OAUTHBEARER");
    if (!bearer && !OffersAuth("XOAUTH2"))
      throw EServerError(
          "The server offers no OAuth 2.0 login Norva knows (OAUTHBEARER, XOAUTH2).");
    const std::string response = bearer
                                     ? OAuthBearerResponse(AuthUser, Host(), RemotePort, token)
                                     : XOAuth2Response(AuthUser, token);
    SendLine(std::string(bearer ? "AUTH OAUTHBEARER" : "AUTH XOAUTH2"));
    if (ReadReply() != 334) refused();
    SendLine(Base64Encode(response));
    const int code = ReadReply();
    if (code == 235) return;
    if (code == 334) {
      // The error comes as a challenge; an empty response (XOAUTH2) or ^A (OAUTHBEARER) ends the
      // exchange, and the server's 535 follows.
      const std::string challenge = LastReply.size() > 4 ? LastReply.substr(4) : std::string();
      SendLine(bearer ? Base64Encode("\x01") : std::string());
      ReadReply();
      RaiseTokenRefused(challenge);
    }
    RaiseTokenRefused("");
  }
  if (OffersAuth("PLAIN")) {
    SendLine("AUTH PLAIN " + Base64Encode(std::string(1, '\0') + AuthUser + '\0' + AuthPassword));
    if (ReadReply() != 235) refused();
  } else if (OffersAuth("LOGIN")) {
    SendLine("AUTH LOGIN");
    if (ReadReply() != 334) refused();
    SendLine(Base64Encode(AuthUser));
    if (ReadReply() != 334) refused();
    SendLine(Base64Encode(AuthPassword));
    if (ReadReply() != 235) refused();
  } else {
    throw EServerError("The server offers no authentication method Norva knows (PLAIN, LOGIN).");
  }
}

void TmsSMTP::Logout() {
  if (!IsOpen()) return;
  ProcessMessages();
  SendLine("QUIT");
  ExpectReply(2);
}

void TmsSMTP::SendMail() {
  if (!MailMessage) RaiseSocketError(msgMessageRequired);
  TmsMessage& message = *MailMessage;
  message.CheckFields();

  // Both temporary files are deleted when this call ends, however it ends.
  struct TDropData {
    std::unique_ptr<TTempFileStream>& stream;
    ~TDropData() { stream.reset(); }
  } dropData{DataStream};
  TTempFileStream encoded;
  DataStream = std::make_unique<TTempFileStream>();

  if (OnPrepare) OnPrepare(*this);
  // Whatever it was read from, a message goes out with a date and an identity.
  AddMissingDateAndMessageID(message);
  // Text goes as 8bit where the server takes it, else quoted-printable.
  const bool eightBitMime = HasExtension("8BITMIME");
  {
    struct TTransport {
      TmsMessage& message;
      ~TTransport() { message.EightBitTransport = false; }
    } transport{message};
    message.EightBitTransport = eightBitMime;
    message.SaveToStream(encoded);
  }
  const bool eightBit = WriteDataBlock(encoded, *DataStream);
  // What the server may want to know before the data: 8-bit content (RFC 6152) and the size,
  // without the "." line (RFC 1870).
  std::string mailParameters;
  if (eightBit && eightBitMime) mailParameters += " BODY=8BITMIME";
  if (HasExtension("SIZE"))
    mailParameters += " SIZE=" + std::to_string(std::max<int64_t>(0, DataStream->Size() - 3));

  if (OnSending) OnSending(*this);
  // The envelope is taken once, after the last handler that may change it, and checked whole
  // before its first command goes out. Entries without an address have nowhere to go (the
  // message's CheckFields does not count them either).
  std::string mailFrom;
  if (!message.Sender.Address.empty())
    mailFrom = EnvelopeCommand("MAIL FROM:<", message.Sender.Address, "The address of sender");
  std::vector<std::pair<std::string, std::string>> recipients;  // address, command
  for (const TmsAddressList* list : {&message.Recipients, &message.CC, &message.BCC}) {
    for (int32_t i = 0; i < list->Count(); ++i) {
      const std::string& address = list->Items(i).Address;
      if (address.empty()) continue;
      recipients.emplace_back(address,
                              EnvelopeCommand("RCPT TO:<", address, "A recipient address"));
    }
  }

  if (!mailFrom.empty()) {
    SendLine(mailFrom + mailParameters);
    ExpectReply(2);
  }
  for (const auto& [address, command] : recipients) {
    SendLine(command);
    if (ReadReply() / 100 == 2) continue;
    bool proceed = false;
    if (OnAddressRejected) OnAddressRejected(*this, address, LastReply, proceed);
    if (!proceed) throw EServerError(LastReply);
  }
  SendLine("DATA");
  ExpectReply(3);

  // The "." line goes with the data: sent apart, it would wait for the server to acknowledge
  // the data first (Nagle), and the server delays that acknowledgement.
  SendStream(*DataStream);
  const int32_t timeOut = TimeOut();
  SetTimeOut(std::max(timeOut, DataReplyWait));
  int code;
  try {
    code = ReadReply();
  } catch (const std::exception& e) {
    SetTimeOut(timeOut);
    const std::string why = Canceled ? "the send was stopped" : e.what();
    Close();  // the session is over: a QUIT would only wait for a server that did not answer
    throw DeliveryUnknown(why);
  }
  SetTimeOut(timeOut);
  if (code < 0 || code / 100 != 2) throw EServerError(LastReply);
  if (OnMailSent) OnMailSent(*this);
}

}  // namespace norva
