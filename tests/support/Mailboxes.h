// A mailbox for the tests that drive the main window's logic.
#pragma once

#include <memory>
#include <string>
#include <vector>

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

// A new row of main's list for a message that client's directory lists with these header lines
// (plus its Message-ID "<N@test>", N its place in the directory) and size.
inline MessageListEntry& AddListedRow(TfrmMain& main, TmsRemotePOP& client,
                                      const std::vector<std::string>& headers,
                                      int32_t size = 100) {
  const int32_t index = client.MessageInfo.Count();
  const std::string id = "<" + std::to_string(index) + "@test>";
  auto item = std::make_unique<TmsRemoteInfoItem>();
  item->Size = size;
  item->Headers.assign(headers.begin(), headers.end());
  item->Headers.push_back("Message-ID: " + id);
  client.MessageInfo.Add(std::move(item));
  TListRow row;
  row.Data = std::make_unique<MessageListEntry>();
  row.Data->Client = &client;
  row.Data->InfoIndex = row.Data->MessageNumber = index;
  row.Data->MessageId = id;
  main.lsvMail.push_back(std::move(row));
  return *main.lsvMail.back().Data;
}

}  // namespace norva::testing
