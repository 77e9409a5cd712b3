// TfrmMsg: the message window ("Message Editor") as a plain model: reading a retrieved message,
// and writing new messages and replies that go to the outbox.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/Desktop.h"
#include "app/Placement.h"
#include "config/Options.h"
#include "mail/msmsgcls.h"

namespace norva {

class TfrmMain;

// One lsvMsgAttach row: the file's name (reading) or full path (composing), and its size.
struct TAttachRow {
  std::string Caption;
  std::string Size;
  bool Selected = false;
};

// "Name <address>" as a reader shows a mailbox (the name quoted when it holds a list's
// separator), the bare address when there is no name.
std::string FormatMailbox(const TmsMailAddress& address);
// The mailboxes of a list, separated by ", ".
std::string FormatMailboxes(const TmsAddressList& list);
// A Date header's instant in the user's time zone ("dd.mm.yy hh:nn"); the text as it stands
// when it cannot be read, "" when there is none.
std::string LocalMailDate(const std::string& text);

// A queued message carries what its header must not show: the blind copies' addresses and the
// account it goes from. These lines live only in the outbox (and the sent copy); the sending
// run takes them out before the message goes to the server.
constexpr const char* kOutboxBccField = "X-Norva-Bcc";
constexpr const char* kOutboxAccountField = "X-Norva-Account";
// Takes the outbox lines out of a queued message's headers: the blind copies go back into its
// BCC list; returns the account's address ("" for an item queued without one). EMessageError
// when a blind copy's address does not read.
std::string TakeOutboxFields(TmsMessage& message);

// The recipients of a reply to all: To is whom the reply answers (Reply-To, else From), Cc the
// original's other recipients (To and Cc). The user's own addresses and repeated addresses
// (compared without case) are left out; a message the user sent answers its recipients.
struct TReplyRecipients {
  std::string To, Cc;
};
TReplyRecipients ReplyAllRecipients(THeaderLines originalHeaders,
                                    const std::vector<std::string>& ownAddresses);
// "On <date>, <name> wrote:" over a quote of the message with these headers; the date in the
// user's zone, the sender's address where it has no name.
std::string AttributionLine(THeaderLines originalHeaders);

class TfrmMsg {
 public:
  // The window's size as designed, the default placement's width and height.
  static constexpr int32_t kDesignWidth = 600, kDesignHeight = 450;
  // btnPriority's images: low, normal and high priority (priority = image - kLowPriorityImage).
  static constexpr int32_t kLowPriorityImage = 22;
  // The window's name: the title before it shows anything, and the caption of its boxes. The
  // title then says what the window does: "Reading: ", "Reply: " or "New message".
  static constexpr const char* kEditorCaption = "Message Editor";

  TfrmMsg(Desktop& desktop, TfrmOptions& options, TfrmMain& main);
  TfrmMsg(const TfrmMsg&) = delete;
  TfrmMsg& operator=(const TfrmMsg&) = delete;

  // ---- models of the widgets ----
  std::string edtMsgFrom, edtMsgTo, edtMsgSubject;
  // The copies' recipients (reading and composing), the blind copies' (composing only) and the
  // date in the user's time zone (reading only).
  std::string edtMsgCc, edtMsgBcc, edtMsgDate;
  // Composing, the From box is a choice of the configured accounts ("Name <address>"), and
  // FromAccount the address of the one chosen, which the message goes from.
  std::vector<std::string> edtMsgFromItems;
  int32_t FromIndex = -1;
  std::string FromAccount;
  // Reading an HTML message's body: its HTML, which the window renders (redMsg holds its text
  // rendering). Empty for plain text, headers and composing.
  std::string redMsgHtml;
  std::string Caption = kEditorCaption;
  std::vector<std::string> edtMsgToItems;  // the To box's drop-down: the address book
  TStringList redMsg;
  std::vector<TAttachRow> lsvMsgAttach;
  int32_t PriorityImage = kLowPriorityImage + 1;
  // Reading mode: the fields are read-only and the To box is a plain drop-down list.
  bool ReadOnly = false;
  bool btnSend = true, btnCut = true, btnPaste = true, btnAttach = true, btnDeAttach = true;
  bool mnuAttach = true, mnuDetach = true;
  bool btnShowHeader = false, btnReply = false, btnReplyAll = false, mnuLaunch = false;
  bool PriorityMenu = true;  // btnPriority drops down the priority menu
  // "edtMsgFrom", "edtMsgTo", "edtMsgCc" or "edtMsgBcc" after a refused address
  std::string FocusedControl;
  int32_t Left = 0, Top = 0, Width = kDesignWidth, Height = kDesignHeight;
  bool Visible = false;

  // Header lines the message being written carries besides its own: a reply's In-Reply-To and
  // References.
  TStringList ReplyFields;

  // 0 nothing to confirm, 1 reading, 2 reply, 3 new message: what closing must ask.
  uint8_t MsgWindowMode = 0;
  bool ShowingHeaders = false;

  // Placement from Config.QDB, fitted to the screen, and the address book's recipients.
  void FormCreate();
  // Saves the placement; for a reply or a new message asks first. True when it may close.
  bool FormCloseQuery();
  // The window's close command: hides it when FormCloseQuery allows.
  void Close();
  void Show() { Visible = true; }
  void FillEdtMsgTo();

  // A new message or reply is being written and differs from what the window was filled with.
  bool HoldsUnsentText() const;
  // True when the window may be filled with something else: it holds no unsent text, or the
  // user agrees to discard it.
  bool MayDiscard();
  // What the window now holds counts as nothing written yet (it was just filled).
  void MarkUnchanged() { filled_ = Draft(); }

  // Switches the widgets between reading (true) and composing (false); composing clears what
  // only reading shows.
  void SetReadingMode(bool reading);
  // Fills every field for reading message: body (or its HTML), addresses, date, subject,
  // priority and attachments.
  void FillFromMessage(TmsMessage& message);

  // ---- commands ----
  void btnShowHeaderClick();
  void btnNextMessageClick();
  void btnPrevMessageClick();
  void btnReplyClick();
  void btnReplyAllClick();
  // Chooses the account the message goes from (an index of edtMsgFromItems).
  void SelectFrom(int32_t index);
  void lsvMsgAttachDblClick();  // also the attachment menu's "Launch"
  void mnuAttachSaveAsClick();
  // A link of the shown message (or of the main window's preview) was clicked: web pages open
  // in the desktop's browser, mail addresses in a new message; anything else (local files,
  // scripts, relative links) is refused with a box.
  void LinkClicked(const std::string& url);
  void btnAttachClick();    // also "Attach"
  void btnDeAttachClick();  // also "Detach"
  // A priority menu item was chosen; its tag is the image index it stands for.
  void N1LowestPriority1Click(int32_t tag);
  void btnSendClick();

  // The From box must hold an "@" after its first character; the To, Cc and Bcc boxes lists of
  // addresses that all parse (ParseAddressList), To only when the others are empty; otherwise
  // an error box, the focus moves to the box, and false.
  bool CheckAddress();
  bool CheckAddress2();

  // The message the fields describe, ready for the outbox (with its outbox lines: the blind
  // copies and the account). Raises the file error of an attachment that cannot be read.
  void BuildMessage(TmsMessage& message) const;

 private:
  TIntegerKeys PlacementKeys();
  // The fields a user writes, as one text to compare.
  std::string Draft() const;
  TmsMessage* ShownMessage() const;
  bool CheckBox(const std::string& text, const char* control);
  int32_t SelectedAttachment() const;
  void ShowText(const TStringList& lines);

  Desktop& desktop_;
  TfrmOptions& options_;
  TfrmMain& main_;
  std::string filled_;
};

}  // namespace norva
