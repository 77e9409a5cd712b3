// TfrmMain: new messages and replies in the message window, and sending the outbox
// ("$OutBox.TMA") through SMTP into the sent archive ("$Sent.TMA").
#include <exception>

#include "app/Main.h"
#include "app/Msg.h"
#include "mail/msCls.h"
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
  const MailboxAccount* from = DefaultAccount();
  window.edtMsgFrom = frmOptions.edtUserName + " " + (from ? from->Address : std::string());
  window.MarkUnchanged();
  return true;
}

void TfrmMain::btnSendMsgClick() {
  if (Busy || !CheckForAddress()) return;
  if (!PrepareMsg()) return;
  frmMsg->MsgWindowMode = 3;
  frmMsg->Show();
}

void TfrmMain::btnReplyMsgClick() {
  if (Busy || !CheckForAddress()) return;
  const int32_t index = SelectedIndex();
  if (index < 0 || !lsvMail[size_t(index)].Data) return;
  if (ReplyMsg(*lsvMail[size_t(index)].Data)) frmMsg->Show();
}

bool TfrmMain::ReplyMsg(MessageListEntry& entry) {
  TfrmMsg& window = *frmMsg;
  if (!PrepareMsg()) return false;
  LockWindow();
  window.MsgWindowMode = 2;
  const bool retrieved = entry.BodyRetrieved && entry.Message;
  TStringList none;
  const TStringList* headers = &none;
  if (retrieved)
    headers = &entry.Message->Headers;
  else if (const TmsRemoteInfoItem* item = DirectoryEntry(entry))
    headers = &item->Headers;
  window.edtMsgTo = GetFieldValue(*headers, "Reply-To");
  if (window.edtMsgTo.empty()) window.edtMsgTo = GetFieldValue(*headers, "From");
  window.edtMsgSubject =
      "re: " + (retrieved ? entry.Message->Subject.str() : GetFieldValue(*headers, "Subject"));
  if (retrieved)
    for (const std::string& line : entry.Message->Body) window.redMsg.push_back("> " + line);
  window.MarkUnchanged();
  UnlockWindow();
  return true;
}

void TfrmMain::msSMTPError(TObject&, std::string& msg) {
  LastErrorText = msg;
}

void TfrmMain::SendOutBox() {
  const std::string outbox = frmOptions.Folder() + "/$OutBox.TMA";
  const std::string sent = frmOptions.Folder() + "/$Sent.TMA";
  const std::string failed = frmOptions.Folder() + "/$Failed.TMA";
  // Each message is committed on its own: its copy is written to the sent archive before the
  // outbox, written next, forgets it. A crash between the two sends it again; none is lost.
  bool connected = false;
  int32_t setAside = 0;
  std::string why;
  SendingOutbox = true;
  try {
    for (;;) {
      QDB1.SetFileName(outbox);
      if (QDB1.Count() == 0) break;
      if (!connected) {
        if (!msSMTP.WinsockLoaded()) msSMTP.SetWinsockLoaded(true);
        const MailboxAccount* from = DefaultAccount();
        if (from)
          from->ApplyToSMTP(msSMTP);
        else
          msSMTP.Server.clear();
        connected = true;
        try {
          msSMTP.Connect();
        } catch (const ETlsError& e) {
          // A certificate the user now accepts gets one more attempt.
          if (!from || !TrustCertificate(*from, true, e)) throw;
          from->ApplyToSMTP(msSMTP);
          msSMTP.Connect();
        }
      }
      TMemoryStream stream;
      QDB1.FirstItem();
      QDB1.GetItem(stream);
      try {
        msgOut.Clear();
        stream.SetPosition(0);
        msgOut.LoadFromStream(stream);
        const MailboxAccount* from = DefaultAccount();
        msgOut.Sender.Address = from ? from->Address : std::string();
        msgOut.Sender.Name = frmOptions.edtUserName;
        msSMTP.MailMessage = &msgOut;
        msSMTP.SendMail();
        StoreMessage(QDB2, sent, stream);
      } catch (const EMessageError& e) {
        // The message itself cannot be sent (no recipient, an address no server takes): it
        // would hold back everything queued after it, so it moves to "$Failed.TMA". The
        // session starts afresh for the next one, whatever the server was told so far.
        StoreMessage(QDB2, failed, stream);
        ++setAside;
        why = e.what();
        msSMTP.Disconnect();
        connected = false;
      } catch (const EMessageParserError& e) {
        StoreMessage(QDB2, failed, stream);
        ++setAside;
        why = e.what();
      }
      QDB1.KillItem();
      CloseOrDiscard(QDB1);
    }
    CloseOrDiscard(QDB1);
  } catch (...) {
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
    throw;
  }
  SendingOutbox = false;
  msSMTP.MailMessage = nullptr;
  if (connected) msSMTP.Disconnect();
  if (setAside > 0)
    throw Exception(std::to_string(setAside) +
                    (setAside == 1 ? " queued message could not be sent and was"
                                   : " queued messages could not be sent and were") +
                    " moved to $Failed.TMA (" + why + ").");
}

}  // namespace norva
