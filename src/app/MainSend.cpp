// TfrmMain: new messages and replies in the message window, and sending the outbox
// ("$OutBox.TMA") through SMTP into the sent archive ("$Sent.TMA").
#include <unistd.h>

#include <cctype>
#include <exception>
#include <filesystem>
#include <vector>

#include "app/Main.h"
#include "app/Msg.h"
#include "mail/agConst.h"
#include "mail/msCls.h"
#include "mail/msmime.h"
#include "mail/mspars.h"

namespace norva {

bool TfrmMain::CheckForAddress() {
  if (!frmOptions.lsvAddress.empty()) return true;
  desktop.MessageBox(
      "No valid mail box address. You need at least one valid mail address to send messages.",
      "Error", Desktop::mbOK, Desktop::iconError);
  return false;
}

bool TfrmMain::PrepareMsg() {
  TfrmMsg& window = *frmMsg;
  if (!window.MayDiscard()) return false;
  window.SetReadingMode(false);
  window.redMsg.clear();
  window.edtMsgTo.clear();
  window.edtMsgSubject.clear();
  window.lsvMsgAttach.clear();
  window.ReplyFields.clear();
  // The From box offers every account under the user's name; the default one is chosen.
  window.edtMsgFromItems.clear();
  window.FromIndex = -1;
  window.FromAccount.clear();
  window.edtMsgFrom = frmOptions.edtUserName + " ";
  const MailboxAccount* from = DefaultAccount();
  for (size_t i = 0; i < frmOptions.lsvAddress.size(); ++i) {
    TmsMailAddress mailbox;
    mailbox.Address = frmOptions.lsvAddress[i]->Address;
    mailbox.Name = Trim(frmOptions.edtUserName);
    window.edtMsgFromItems.push_back(FormatMailbox(mailbox));
  }
  for (size_t i = 0; i < frmOptions.lsvAddress.size(); ++i)
    if (frmOptions.lsvAddress[i].get() == from) window.SelectFrom(int32_t(i));
  window.MarkUnchanged();
  return true;
}

void TfrmMain::btnSendMsgClick() {
  if (Busy || !CheckForAddress()) return;
  ComposeTo("");
}

bool TfrmMain::ComposeTo(const std::string& recipient) {
  if (!PrepareMsg()) return false;
  frmMsg->MsgWindowMode = 3;
  frmMsg->edtMsgTo = recipient;
  frmMsg->MarkUnchanged();  // a chosen recipient is not yet a message being written
  frmMsg->Show();
  return true;
}

void TfrmMain::btnReplyMsgClick() {
  if (Busy || !CheckForAddress()) return;
  const int32_t index = SelectedIndex();
  if (index < 0 || !lsvMail[size_t(index)].Data) return;
  if (ReplyMsg(*lsvMail[size_t(index)].Data)) frmMsg->Show();
}

void TfrmMain::btnReplyAllClick() {
  if (Busy || !CheckForAddress()) return;
  const int32_t index = SelectedIndex();
  if (index < 0 || !lsvMail[size_t(index)].Data) return;
  if (ReplyMsg(*lsvMail[size_t(index)].Data, true)) frmMsg->Show();
}

bool TfrmMain::ReplyMsg(MessageListEntry& entry, bool all) {
  TfrmMsg& window = *frmMsg;
  if (!PrepareMsg()) return false;
  LockWindow();
  window.MsgWindowMode = 2;
  const bool retrieved = entry.BodyRetrieved && entry.Message;
  TmsHeaders none;
  const TmsHeaders* headers = &none;
  if (retrieved)
    headers = &entry.Message->Headers;
  else if (const TmsRemoteInfoItem* item = DirectoryEntry(entry))
    headers = &item->Headers;
  window.edtMsgTo = GetFieldValue(*headers, "Reply-To");
  if (window.edtMsgTo.empty()) window.edtMsgTo = GetFieldValue(*headers, "From");
  std::vector<std::string> own;
  for (const auto& account : frmOptions.lsvAddress) own.push_back(account->Address);
  if (all) {
    const TReplyRecipients recipients = ReplyAllRecipients(*headers, own);
    if (!recipients.To.empty()) window.edtMsgTo = recipients.To;
    window.edtMsgCc = recipients.Cc;
  }
  // The reply goes from the account the message came to: its mailbox, else the first account
  // it was addressed to.
  int32_t account = -1;
  for (size_t i = 0; i < frmOptions.lsvAddress.size() && account < 0; ++i)
    if (entry.Client && frmOptions.lsvAddress[i]->Client.get() == entry.Client)
      account = int32_t(i);
  if (account < 0) {
    TmsMessage addressed;
    addressed.SetHeaderFields(*headers);
    for (const TmsAddressList* list : {&addressed.Recipients, &addressed.CC})
      for (int32_t k = 0; k < list->Count() && account < 0; ++k)
        for (size_t i = 0; i < own.size() && account < 0; ++i)
          if (SameText(Trim(list->Items(k).Address.str()), own[i])) account = int32_t(i);
  }
  if (account >= 0) window.SelectFrom(account);
  const std::string subject =
      retrieved ? entry.Message->Subject.str() : GetFieldValue(*headers, "Subject");
  window.edtMsgSubject = "re: " + subject;
  window.Caption = "Reply: " + (subject.empty() ? std::string("(no subject)") : subject);
  // The reply names the message it answers, so that readers thread them together.
  window.ReplyFields = ReplyHeaderLines(*headers);
  if (retrieved) {
    // Who wrote what follows, then the quote; an empty line quotes as ">" alone, so that it
    // carries no trailing blank.
    window.redMsg.push_back(AttributionLine(*headers));
    for (const std::string& line : entry.Message->Body)
      window.redMsg.push_back(line.empty() ? ">" : "> " + line);
  }
  window.MarkUnchanged();
  UnlockWindow();
  return true;
}

void TfrmMain::msSMTPError(TObject&, std::string& msg) {
  LastErrorText = msg;
}

namespace {

// The reply code a refusal's text starts with ("550 5.1.1 ..."), 0 when it has none.
int ReplyCode(const std::string& reply) {
  if (reply.size() < 3 || !isdigit((unsigned char)reply[0]) || !isdigit((unsigned char)reply[1]) ||
      !isdigit((unsigned char)reply[2]))
    return 0;
  return std::stoi(reply.substr(0, 3));
}

// The queued item with a header line in front of it that tells the user what happened.
void Annotate(TStream& item, const std::string& field, std::string note) {
  for (char& c : note)
    if ((unsigned char)c < 32) c = ' ';
  TMemoryStream annotated;
  annotated.WriteString(field + ": " + note + "\r\n");
  item.SetPosition(0);
  std::string bytes(size_t(item.Size()), '\0');
  if (!bytes.empty()) item.Read(bytes.data(), int64_t(bytes.size()));
  annotated.WriteString(bytes);
  item.SetPosition(0);
  item.SetSize(0);
  item.WriteString(annotated.Bytes());
}

// Writes a message as "NAME N.eml" in the folder, N the first number not in use; returns the
// file's path.
std::string SaveCopy(const std::string& folder, const std::string& fileName, TStream& item) {
  for (int n = 1;; ++n) {
    const std::string path = folder + "/" + fileName + " " + std::to_string(n) + ".eml";
    if (std::filesystem::exists(path)) continue;
    TMemoryStream copy;
    item.SetPosition(0);
    copy.CopyFrom(item, item.Size());
    copy.SaveToFile(path);
    return path;
  }
}

std::string Describe(const TmsMessage& message) {
  std::string to;
  for (int32_t i = 0; i < message.Recipients.Count(); ++i)
    to += (i ? ", " : "") + message.Recipients.Items(i).Address.str();
  return "\"" + message.Subject.str() + "\" to " + (to.empty() ? "nobody" : to);
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
}

}  // namespace

void TfrmMain::SendOutBox() {
  const std::string folder = frmOptions.Folder();
  const std::string outbox = folder + "/$OutBox.TMA";
  const std::string sent = folder + "/$Sent.TMA";
  QDB1.SetFileName(outbox);
  const bool empty = QDB1.Count() == 0;
  CloseOrDiscard(QDB1);
  if (empty) return;
  // The sent archive must take the copies before anything goes out: a message the server has
  // taken leaves the outbox whatever happens to its copy.
  try {
    QDB2.SetFileName(sent);
    CloseWithoutSaving(QDB2);
    if ((std::filesystem::exists(sent) && ::access(sent.c_str(), W_OK) != 0) ||
        ::access(folder.c_str(), W_OK) != 0)
      throw Exception("not writable");
  } catch (const std::exception& e) {
    CloseWithoutSaving(QDB2);
    throw Exception("The sent archive $Sent.TMA cannot be used (" + std::string(e.what()) +
                    "): nothing was sent, the outbox stays as it is.");
  }
  // Each message is committed on its own: once the server took it, its copy goes to the sent
  // archive (or, failing that, to an .eml file beside it) and the outbox, written next,
  // forgets it. A message the server refused for good, or may have taken without saying so,
  // goes to "$Failed.TMA" with a header line that says why; it is not sent again.
  bool connected = false;
  const MailboxAccount* session = nullptr;  // whose server the connection is to
  std::vector<std::string> notes;  // what the user is told after the run
  const auto tell = [&](std::string note) {
    PutStatusMessage(note);
    notes.push_back(std::move(note));
  };
  // Stores the message in hand in an archive of the folder or, failing that, as an .eml file
  // beside it: either way it can leave the outbox. Returns what the user is told, or "".
  const auto store = [&](TStream& item, const std::string& archive, const std::string& fileName) {
    try {
      StoreMessage(QDB2, folder + "/" + archive, item);
      return std::string();
    } catch (const std::exception& e) {
      std::string kept;
      try {
        kept = "it is kept in " + SaveCopy(folder, fileName, item);
      } catch (const std::exception& again) {
        kept = "nor as a file (" + std::string(again.what()) + ")";
      }
      return "its copy could not be stored in " + archive + " (" + e.what() + "): " + kept;
    }
  };
  const auto hangUp = [&] {
    if (!connected) return;
    connected = false;
    try {
      msSMTP.Disconnect();
    } catch (const std::exception&) {
      msSMTP.Close();
    }
  };
  SendingOutbox = true;
  try {
    for (int32_t index = 0;;) {
      QDB1.SetFileName(outbox);
      if (index >= QDB1.Count()) break;
      TMemoryStream stream;
      QDB1.GoToItem(index);
      QDB1.GetItem(stream);
      std::string setAside;  // why the message goes to "$Failed.TMA"
      std::string named;     // the account it was written from
      try {
        msgOut.Clear();
        stream.SetPosition(0);
        msgOut.LoadFromStream(stream);
        named = TakeOutboxFields(msgOut);
      } catch (const EMessageParserError& e) {
        setAside = e.what();
      } catch (const EMessageError& e) {
        setAside = e.what();
      }
      // It goes from that account, under the name its From line shows; an item queued without
      // one (or from an account since removed) from the default account, under the user's name.
      const MailboxAccount* from = nullptr;
      for (const auto& account : frmOptions.lsvAddress)
        if (!named.empty() && !from && SameText(account->Address, named)) from = account.get();
      if (from) {
        msgOut.Sender.Address = from->Address;
      } else {
        from = DefaultAccount();
        msgOut.Sender.Address = from ? from->Address : std::string();
        msgOut.Sender.Name = frmOptions.edtUserName;
      }
      // Each account's messages go through its own server and login.
      if (setAside.empty() && connected && from != session) hangUp();
      if (!connected && setAside.empty()) {
        if (!msSMTP.WinsockLoaded()) msSMTP.SetWinsockLoaded(true);
        if (from)
          from->ApplyToSMTP(msSMTP);
        else
          msSMTP.Server.clear();
        connected = true;
        session = from;
        try {
          msSMTP.Connect();
        } catch (const ETlsError& e) {
          // A certificate the user now accepts gets one more attempt.
          if (!from || !TrustCertificate(*from, true, e)) throw;
          from->ApplyToSMTP(msSMTP);
          msSMTP.Connect();
        }
        for (auto& account : frmOptions.lsvAddress)
          if (account.get() == from) NotePlainPassword(*account, msSMTP);
      }
      try {
        if (setAside.empty()) {
          msSMTP.MailMessage = &msgOut;
          msSMTP.SendMail();
        }
      } catch (const EMessageError& e) {
        setAside = e.what();  // no recipient, an address no server takes
      } catch (const EMessageParserError& e) {
        setAside = e.what();
      } catch (const EDeliveryUnknown& e) {
        setAside = e.what();
      } catch (const EServerError& e) {
        // A refusal for good (5xx) sets the message aside with the server's reply; a temporary
        // one (4xx) leaves it queued for the next run. A refused recipient refuses the whole
        // message, so that nobody gets a copy the others do not.
        if (ReplyCode(e.what()) / 100 == 5) {
          setAside = e.what();
        } else {
          tell(Describe(msgOut) + ": " + e.what() + " (stays in the outbox)");
          ++index;
          CloseOrDiscard(QDB1);
          hangUp();  // the next message starts a session of its own
          continue;
        }
      }
      const bool stopped = msSMTP.Canceled;
      if (!setAside.empty()) {
        hangUp();
        Annotate(stream, "X-Norva-Failure", setAside);
        const std::string copy = store(stream, "$Failed.TMA", "Unsent");
        tell(Describe(msgOut) + ": " + setAside +
             (copy.empty() ? " (moved to $Failed.TMA)" : " (" + copy + ")"));
      } else if (const std::string copy = store(stream, "$Sent.TMA", "Unsaved sent");
                 !copy.empty()) {
        tell(Describe(msgOut) + " was sent, but " + copy);
      }
      QDB1.KillItem();
      CloseOrDiscard(QDB1);
      // A stop during the wait for the server's reply ends the run once that message is aside.
      if (stopped) throw ECanceledError(MailMessageText(msgCanceled));
    }
    CloseOrDiscard(QDB1);
  } catch (const std::exception& e) {
    // A lost connection or a stop ends the run; the message in hand stays queued.
    SendingOutbox = false;
    CloseWithoutSaving(QDB1);
    msSMTP.MailMessage = nullptr;
    if (connected && msSMTP.IsOpen()) {
      try {
        msSMTP.Disconnect();
      } catch (const std::exception&) {
        msSMTP.Close();
      }
    }
    PackOutbox(outbox);
    AskPlainPasswords();
    if (notes.empty()) throw;
    throw Exception(Joined(notes) + "\n" + e.what());
  }
  SendingOutbox = false;
  msSMTP.MailMessage = nullptr;
  if (connected) msSMTP.Disconnect();
  PackOutbox(outbox);
  AskPlainPasswords();
  if (!notes.empty()) throw Exception(Joined(notes));
}

void TfrmMain::PackOutbox(const std::string& outbox) {
  // The bytes of the messages that left stay in the file until it is packed.
  try {
    QDB1.SetFileName(outbox);
    QDB1.Pack();
    CloseOrDiscard(QDB1);
  } catch (const std::exception&) {
    CloseWithoutSaving(QDB1);  // packed at the next run
  }
}

}  // namespace norva
