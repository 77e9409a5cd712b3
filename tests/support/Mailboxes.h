// A mailbox for the tests that drive the main window's logic.
#pragma once

#include <memory>
#include <string>

#include "app/Main.h"

namespace norva::testing {

// "meN@example.org" (N: its place in the list), user "user", password "secret", a 5 s time-out,
// on the given servers, bound to main's session handlers.
inline MailboxAccount& AddTestMailbox(TfrmMain& main, TfrmOptions& options,
                                      const std::string& pop3, const std::string& smtp) {
  auto account = std::make_unique<MailboxAccount>();
  account->Address = "me" + std::to_string(options.lsvAddress.size()) + "@example.org";
  account->Account = "user";
  account->Password = "secret";
  account->POP3Server = pop3;
  account->SMTPServer = smtp;
  account->TimeOut = 5;
  main.BindClient(*account->Client);
  options.lsvAddress.push_back(std::move(account));
  return *options.lsvAddress.back();
}

}  // namespace norva::testing
