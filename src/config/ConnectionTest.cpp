// TConnectionTest: a login to each server of a mailbox, reported by stage.
#include "config/ConnectionTest.h"

#include <algorithm>

#include "config/AccountsPage.h"

namespace norva {

namespace {

// "host:port SSL/TLS" for the line's head; the port is the client's default when Server has none.
std::string Where(const std::string& server, uint16_t defaultPort, TSecurity security) {
  std::string where = server;
  if (server.find(':') == std::string::npos) where += ":" + std::to_string(defaultPort);
  return where + " " + kSecurityNames[std::clamp(int(security), 0, 2)];
}

// Runs open (resolving the name) and login (connecting, securing, logging in), then QUIT, and
// says how far it got.
template <class Login>
std::string Stages(TmsMailBase& client, bool secured, const std::string& loginDone, Login login) {
  client.SetWinsockLoaded(true);  // as a check and a send do
  try {
    client.Open();
  } catch (const ECanceledError&) {
    return "canceled";
  } catch (const Exception& e) {
    // Socket errors below 57000 come from the name lookup; the rest are settings the client
    // refuses before going out (no password, say).
    const auto* socket = dynamic_cast<const ESocketError*>(&e);
    return (socket && socket->Code < 57000 ? "name resolution failed: " : "not tried: ") +
           std::string(e.what());
  }
  const std::string connected = secured ? "connected, certificate OK" : "connected";
  std::string result;
  bool loggedIn = false;
  try {
    login();
    loggedIn = true;
    result = connected + ", " + loginDone;
  } catch (const ECanceledError&) {
    result = "canceled";
  } catch (const ETimedOutError& e) {
    result = "connection failed: " + std::string(e.what());
  } catch (const ETlsError& e) {
    result = "connected, certificate failed: " + std::string(e.what());
  } catch (const ESocketError& e) {
    result = "connection failed: " + std::string(e.what());
  } catch (const Exception& e) {
    // The server answered: connected (and secured, if asked), but the login was refused.
    result = connected + ", login failed: " + std::string(e.what());
  }
  if (loggedIn) {
    try {
      client.Logout();
    } catch (const Exception&) {
      // The login is what was tested; a lost QUIT reply changes nothing.
    }
  }
  client.Close();
  return result;
}

}  // namespace

std::string TConnectionTest::TestPOP3(MailboxAccount& account) {
  account.ApplyToClient();
  TmsRemotePOP& pop = *account.Client;
  current_ = &pop;
  // The default port is known once Open has read Security.
  std::string result = Stages(pop, pop.Security != TSecurity::None, "login OK", [&] { pop.Login(); });
  current_ = nullptr;
  return "POP3 " + Where(account.POP3Server, pop.DefaultPort ? pop.DefaultPort : 110, pop.Security) +
         ": " + result;
}

std::string TConnectionTest::TestSMTP(const MailboxAccount& account) {
  TmsSMTP smtp;
  account.ApplyToSMTP(smtp);
  current_ = &smtp;
  std::string result = Stages(smtp, smtp.Security != TSecurity::None,
                              smtp.Authenticate ? "login OK" : "no login asked",
                              [&] { smtp.Login(); });
  current_ = nullptr;
  smtpConnected_ = result.rfind("connected", 0) == 0;
  return "SMTP " + Where(account.SMTPServer, smtp.DefaultPort ? smtp.DefaultPort : 25, smtp.Security) +
         ": " + result;
}

std::vector<std::string> TConnectionTest::Run(MailboxAccount& account) {
  canceled_ = false;
  std::vector<std::string> lines;
  if (account.POP3Server.empty())
    lines.push_back("POP3: no server given");
  else
    lines.push_back(TestPOP3(account));
  if (canceled_) return lines;
  if (account.SMTPServer.empty())
    lines.push_back("SMTP: no server given");
  else
    lines.push_back(TestSMTP(account));
  return lines;
}

void TConnectionTest::Cancel() {
  canceled_ = true;
  if (current_) current_->Cancel();
}

}  // namespace norva
