// TfrmMain: the main window's logic — the message list, status bar and mailbox selector as
// plain models, the check cycle, the scheduler, rule evaluation, marking and deletion, the
// window lock and the activity animation. It reaches the platform only through Desktop.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <exception>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "app/CheckLists.h"
#include "app/Desktop.h"
#include "app/Learner.h"
#include "app/Notices.h"
#include "config/Options.h"
#include "mail/agRasCmp.h"
#include "mail/msmsgcls.h"
#include "mail/mspop3cl.h"
#include "mail/mssmtp.h"
#include "store/DateTime.h"
#include "store/QDB.h"

namespace norva {

class TfrmMsg;
class TfrmRule;
struct TPreparedRules;

// The record behind every row of the message list.
struct MessageListEntry {
  TmsRemotePOP* Client = nullptr;       // the mailbox the message came from; none for archive rows
  int32_t MessageNumber = -1;           // expected position on the server in later sessions
  int32_t InfoIndex = -1;               // entry of the client's directory in the latest session
  std::unique_ptr<TmsMessage> Message;  // the retrieved message, once read
  uint8_t Status = 1;                   // 0 spam, 1 unknown, 2 safe (= the row's image)
  uint8_t Presence = 0;                 // 0 not yet matched in this check, 1 already known, 2 new
  std::string MessageId;
  bool BodyRetrieved = false;
  bool FromArchive = false;
  bool DeletedOnServer = false;
  int32_t SpamPound = 0;
  bool HasPoundRule = false, MarkSpam = false, MarkSafe = false, Urgent = false;
  bool DeleteRequested = false, ArchiveRequested = false;
  bool Unread = false;  // new to the user in this run, until its row is shown in the preview
  std::string ArchiveFile;
  bool ReplyRequested = false;
  std::string ReplyTemplate;
  TStringList AppliedRules;
  // What identifies the message on the server beyond its position: its size from the latest
  // directory, so that a later session can confirm it is acting on the same message.
  int32_t Size = 0;
  // The server's header block was longer than the client keeps: the row shows its start.
  bool HeadersCut = false;
  // The retrieved message was too large to hold: Message has its head and a note; the whole
  // message stays on the server, and is not archived.
  bool BodyCut = false;
};

// What the user is told of a failure: its text, and for memory that ran out a sentence rather
// than the library's "std::bad_alloc".
std::string ErrorText(const std::exception& e);

// The line that ends the text of a message read from its head (MessageListEntry::BodyCut).
std::string SpooledNote(int64_t size);
// The line that ends the preview of a header block that was cut.
inline constexpr const char* kHeadersCutNote =
    "[The header block is longer than 256 KB: shown is its start.]";

// One row of lsvMail: caption "Sender", sub-items "Subject", "Date", "Size", "SP".
struct TListRow {
  std::string Caption;
  TStringList SubItems;
  int32_t ImageIndex = 1;   // = Status
  int32_t StateIndex = -1;  // 3 deleted, 4 archived, 5 retrieved; -1 none
  bool Selected = false;
  bool Focused = false;
  std::unique_ptr<MessageListEntry> Data;
};

struct TStatusPanel {
  std::string Text;
  int32_t Width = 0;
};

class TfrmMain {
 public:
  TfrmMain(Desktop& desktop, TfrmOptions& options);
  virtual ~TfrmMain();
  TfrmMain(const TfrmMain&) = delete;
  TfrmMain& operator=(const TfrmMain&) = delete;

  Desktop& desktop;
  TfrmOptions& frmOptions;

  // ---- models of the widgets ----
  std::vector<TListRow> lsvMail;
  std::array<TStatusPanel, 5> StatusBar{};  // icon, next check, server, progress, status
  TStringList cmbSelAddress;
  int32_t cmbSelAddressIndex = -1;
  TStringList redMsg;
  std::string redMsgHtml;       // the preview shows an HTML message's body: its HTML, rendered
  bool PopMailAttached = true;  // the list's pop-up menu can open

  // ---- components ----
  TmsSMTP msSMTP;
  TagRas agRas;
  TQDB QDB1, QDB2;

  // ---- lock and animation ----
  bool Busy = false;
  int32_t StatusIcon = 0;  // 0 idle, 1 busy (imlStatus)
  int32_t AnimMode = 0;    // 0 none, 1 checking, 2 new mail, 3 urgent mail
  int32_t AnimFrame = 0;
  bool AnimEnabled = false;
  int32_t AnimInterval = 120;  // milliseconds
  int32_t WindowIcon = 55;     // image of imlToolbar shown as the window's icon
  void LockWindow();
  void UnlockWindow();
  void StartAnim(int32_t mode);
  void StopAnim();
  void AnimTimer();

  // ---- the check cycle ----
  bool StopRequested = false;
  bool NewMailFound = false, UrgentMailFound = false, SessionHadErrors = false;
  std::string LastErrorText;
  MailboxAccount* CurrentAccount = nullptr;
  bool ArchiveView = false;
  std::string ArchiveViewFile;
  // With no mailbox configured, the button calls OnNoMailbox (the setup dialog) or, without
  // one, says so in the status bar.
  void btnCheckMailboxClick();
  std::function<void()> OnNoMailbox;
  virtual void CheckMail(bool together, int32_t accountIndex);
  void CheckMailBox(int32_t accountIndex);
  // When e is a certificate that failed verification, asks whether to trust exactly that
  // certificate for the account's POP3 (or SMTP) server from now on; yes stores its fingerprint
  // in the account and in Config.QDB and returns true.
  bool TrustCertificate(const MailboxAccount& account, bool smtp, const ETlsError& e);
  // A mailbox from an older file sends its password unencrypted as before, but once that has
  // happened the user is asked, once: secure its servers with STARTTLS, or allow it for good.
  // Note records a session's client; Ask asks about the noted mailboxes after the session.
  void NotePlainPassword(MailboxAccount& account, const TmsMailBase& client);
  void AskPlainPasswords();
  void PutStatusMessage(const std::string& text);
  // The desktop's error display, and the status bar, never show a configured password: a
  // server may echo what it was sent in its error line.
  void ShowError(const std::string& text);
  std::string WithoutSecrets(std::string text) const;
  void SistemaContatori();

  // ---- the alarm and notifications ----
  // After a check with new mail: the sound, then a notification of the new messages that are
  // not spam or, when the user prefers it or the desktop cannot notify, the modal box.
  void Alarm();
  // The new messages of the latest check that are not spam, per mailbox in list order.
  std::vector<MailboxNews> NewMail() const;
  // A mailbox's check ended: the first failure in a row is notified once (without passwords),
  // and the first success after failures says it works again. A stopped check says nothing.
  void MailboxChecked(const MailboxAccount& account, const std::string* failure);
  bool MailboxFailing(const MailboxAccount& account) const;
  // New messages not yet looked at (the tray's badge): they add up over checks until the user
  // brings the window up, which also ends the alarm's sound and blinking.
  int32_t UnseenNew = 0;
  void AlarmSeen();
  // The tray's tooltip: new, spam and total counts per mailbox and the next check.
  std::string TrayHint() const;
  // Binds the session handlers to a mailbox's client (when it is created).
  void BindClient(TmsRemotePOP& client);
  void msRPOPOpen(TObject& sender);
  void msRPOPUpdatingInfo(TObject& sender);
  void msRPOPNextInfoUpdated(TObject& sender, int32_t num);
  void msRPOPRetrieving(TObject& sender);
  void msRPOPRetrieved(TObject& sender);
  void msRPOPProgress(TObject& sender, int32_t perc, int32_t transferred);
  void msRPOPDeleting(TObject& sender, int32_t num);
  void msRPOPClosing(TObject& sender);
  void msRPOPClosed(TObject& sender);
  void msRPOPError(TObject& sender, std::string& msg);

  // ---- scheduling ----
  TDateTime NextCheckTime = 0;
  int32_t NextCheckAccount = 0;
  bool Timer1Enabled = false;  // the ten-second timer
  void CNextCheck(TCheckSchedule& schedule);
  void NextCheckCalc();
  // Makes the schedules that ask to be checked at start-up due in a few seconds.
  void ScheduleStartupChecks();
  void Timer1Timer();

  // ---- rule evaluation ----
  // Runs the rules on the row's message. A failure of that one message is written to its rule
  // log and the status bar (counted in MessageFailures) and withholds its deletion; a failure of
  // the session is raised.
  void SpamCheckMsg(MessageListEntry& entry);
  int32_t MessageFailures = 0;  // messages of the current check whose rules could not finish
  void ApplyRules(const TmsRemoteInfoItem& item, MessageListEntry& entry);
  void DoAction(const MailRule& rule, MessageListEntry& entry);
  // Sends "DELE" for the row's message in the open session. The row counts as deleted only
  // when the session ends with an acknowledged "QUIT"; until then the deletion stays requested
  // and the next session that finds the same message (Message-ID and size) sends it again.
  void RequestDeletion(MessageListEntry& entry);
  bool IsInList(const std::string& listName, const std::string& address);
  bool IsStringInList(const std::string& listName, const std::string& text);
  bool IsHeaderInList(const std::string& listName, const MessageListEntry& entry);
  // The named check list (found without regard to case) as its file holds it now; none when no
  // check list has that name.
  std::shared_ptr<const TCheckList> CheckList(const std::string& listName);
  TCheckListFiles CheckListFiles;
  // The rules as ApplyRules last took them, with what it prepares of them once per edit.
  std::shared_ptr<const TPreparedRules> preparedRules_;

  // ---- start-up and shut-down ----
  static constexpr int32_t kDesignWidth = 635, kDesignHeight = 484;
  std::string Caption = " N o r v a";
  int32_t Left = 5, Top = 5, Width = kDesignWidth, Height = kDesignHeight;
  // Widths of the list's columns "Sender", "Subject", "Date", "Size", "SP".
  std::array<int32_t, 5> lsvMailColumns{180, 230, 100, 60, 40};
  std::string HelpFile;  // the user manual, opened by the desktop
  // Caption, placement and list layout from Config.QDB fitted to the screen, the archive
  // folders, and the scheduler started.
  void FormCreate();
  // Stores the placement and list layout; closing is never refused.
  bool FormCloseQuery();
  // Whether the preferences window may be shown now.
  bool btnConfigClick() const { return !Busy; }
  void btnHelpClick();
  void btnLogsClick();

  // ---- reading ----
  std::unique_ptr<TfrmMsg> frmMsg;           // the message window
  MessageListEntry* CurrentEntry = nullptr;  // the row the message window shows
  TmsMessage* CurrentMessage = nullptr;      // the message being retrieved or shown
  // Retrieves the selected messages, then shows the first of them in the message window.
  void btnReadMsgClick();
  // Retrieves the selected rows not read yet: one session per mailbox, rows in list order.
  void ReadSelected();
  // Runs a command with the window locked; a failure is shown and the window released. False
  // when it failed.
  bool RunLocked(const std::function<void()>& command);
  void lsvMailDblClick();
  // Retrieves the row's whole message once; with connect false the client is already connected.
  virtual void LeggiMsg(MessageListEntry& entry, bool connect);
  void msRPOPUserMessageSave(TObject& sender, int32_t num, TMemoryStream& contents);
  void BrowseMsg(MessageListEntry& entry);
  void mnuViewMessageHeadersClick();
  void mnuViewMessageTextClick();

  // ---- replying and sending ----
  TmsMessage msMsg;   // template replies
  TmsMessage msgOut;  // the message being sent
  void btnSendMsgClick();
  // A new message (to the address book's entry, if any); false when the user keeps the one
  // being written.
  bool ComposeTo(const std::string& recipient);
  void btnReplyMsgClick();
  // A reply to the sender and every other recipient of the selected message, but not to the user.
  void btnReplyAllClick();
  // Fill the message window for a reply (all: to every recipient) or a new message; false,
  // leaving it as it is, when it holds a message being written that the user keeps.
  bool ReplyMsg(MessageListEntry& entry, bool all = false);
  bool PrepareMsg();
  bool CheckForAddress();
  // Sends every queued message of "$OutBox.TMA" in one session, moving each into "$Sent.TMA".
  virtual void SendOutBox();
  // Packs the outbox file so that the bytes of sent messages leave the disk.
  void PackOutbox(const std::string& outbox);
  bool SendingOutbox = false;  // the stop command cancels the send, connected or not
  void msSMTPError(TObject& sender, std::string& msg);

  // ---- archives ----
  TStringList trvFolder;  // the archive files of the program's folder
  int32_t trvFolderIndex = -1;
  virtual void ArchiveMsg(const std::string& fileName, MessageListEntry& entry, bool connect);
  virtual void ArchiveReplyMsg(const std::string& fileName, MessageListEntry& entry, bool connect);
  // Stores an encoded message as a new item of an archive, under the next running-number key.
  void StoreMessage(TQDB& store, const std::string& fileName, TStream& message);
  void btnArchiveClick();
  void LoadFolders();
  void trvFolderDblClick();
  void btnOpenArchiveClick();
  void LoadArchive(const std::string& fileName);

  // ---- the learner ----
  // The spam learner of the program folder (Learn.QDB), read on first use. A file that cannot
  // be read is reported once; the learner then stays empty and is not written, so that the
  // file is kept for the user to reset.
  TLearner& Learner();
  // The learned spam probability of a row's message, 0 to 1 (0.5 when nothing is learned).
  double LearnedProbability(const MessageListEntry& entry);
  // A probability as a whole percent: "97%".
  static std::string PercentText(double probability);
  // Puts "Learned spam probability: 97%" and an empty line above what redMsg shows, once the
  // learner knows both spam and safe messages.
  void ShowLearnedProbability(const MessageListEntry& entry);
  // The user marked rows: when learning is on, the learner learns their header blocks as spam
  // or safe, or forgets them (None); the state is saved once, when anything changed. Returns
  // how many messages changed (LearnMark: whether the one did).
  int32_t LearnMarks(const std::vector<const MessageListEntry*>& entries, TLearner::TMark mark);
  bool LearnMark(const MessageListEntry& entry, TLearner::TMark mark);
  // Whether Learn.QDB could not be read: the learner then learns nothing until it is reset.
  bool LearnerBroken();
  // Saves the learner in the program folder (tokens long unused pruned first); a failure is
  // shown, and false.
  bool SaveLearned();
  // Forgets everything learned and saves the empty state, over a file that could not be read too.
  bool ResetLearner();
  // The header block a row's message is known by: the retrieved message's, else its directory
  // entry's; none when neither is at hand.
  const TmsHeaders* HeadersOf(const MessageListEntry& entry) const;

  // ---- marking and deletion ----
  void btnMarkSpamClick() { MarkMsg(0); }
  void btnMarkUnknowClick() { MarkMsg(1); }
  void btnMarkOKClick() { MarkMsg(2); }
  void btnDeleteClick() { DeleteMsg(3); }
  void btnDeleteAllSpamClick() { DeleteMsg(0); }
  void MarkMsg(uint8_t newStatus);
  void DeleteMsg(uint8_t selector);
  // Asks before rows chosen by selector are deleted on the server, naming how many (default
  // No); true to go ahead. Skipped when nothing is to be deleted or the user opted out.
  bool ConfirmServerDelete(uint8_t selector);
  // DeleteMsg in the archive view: the chosen rows' items leave the archive file.
  void DeleteFromArchive(uint8_t selector);
  void lsvMailDelete(int32_t index);
  void lsvMailClear();
  // A mailbox is about to be deleted in the preferences: its rows go, so that no row keeps
  // pointing at its client.
  void ForgetAccount(const MailboxAccount& account);

  // ---- printing ----
  // Prints every selected message, reading those not read yet first.
  void btnPrintClick();
  // Prints the messages as plain lines in a small fixed-pitch font, each from a new page, in one
  // job after the print dialog.
  void PrintMsg(const std::vector<const TmsMessage*>& messages);

  // ---- the list and the preview ----
  // The column the list was last sorted by (-1: not sorted, rows in arrival order) and its
  // direction; clicking the same column again reverses it.
  int32_t SortColumn = -1;
  bool SortDescending = false;
  int32_t SplitPercent = 40;
  int32_t FolderWidth = 140;  // the archive folders' share of the lower panel, in pixels
  int32_t pnlMainHeight = 0, lsvMailHeight = 0;
  void lsvMailColumnClick(int32_t column);
  // Compares two rows under SortColumn, ascending; text columns ignore letter case.
  int lsvMailCompare(const TListRow& item1, const TListRow& item2) const;
  // What a row is sorted by under SortColumn: its text (letter case folded), date or number.
  struct SortKey {
    std::string Text;
    TDateTime Date = 0;
    int64_t Number = 0;
  };
  SortKey RowSortKey(const TListRow& row) const;
  static int CompareSortKeys(int32_t column, const SortKey& key1, const SortKey& key2);

  // ---- the quick filter ----
  // The list shows the rows whose sender or subject contains Text (letter case ignored) and
  // whose status is ticked. A hidden row is never selected, and "Delete all spam" leaves hidden
  // rows alone, so every command acts on what the user sees.
  struct TListFilter {
    std::string Text;
    std::array<bool, 3> Show{true, true, true};  // spam, unknown, safe
    bool operator==(const TListFilter&) const = default;
  };
  TListFilter ListFilter;
  bool Filtering() const { return ListFilter != TListFilter{}; }
  bool RowVisible(const TListRow& row) const;
  void SetListFilter(const TListFilter& filter);
  void lsvMailClick();
  void lsvMailKeyUp(int32_t key);
  void mnuViewAppliedRulesClick();
  void StatusBarDblClick();
  void pnlMainResize();
  void Splitter1Moved();
  void cmbSelAddressDropDown();
  static void StringToString(const TStringList& source, TStringList& target) { target = source; }
  static void StringToString(const TmsHeaders& source, TStringList& target) { target = source.Lines(); }

  // The directory entry a row addresses, or none when the latest session no longer has it.
  const TmsRemoteInfoItem* DirectoryEntry(const MessageListEntry& entry) const;
  // The account that sends: the first one marked default, else the first; none without accounts.
  const MailboxAccount* DefaultAccount() const;
  // The mailbox whose client sent an event.
  MailboxAccount* AccountOf(const TObject& sender) const;
  int32_t SelectedIndex() const;
  // The row that carries the entry, or none when the row is gone.
  TListRow* RowOf(const MessageListEntry* entry);

  // ---- quick rules and the address book ----
  // The rule editor (app/Rules.h), set by the application; its check-list choices are rebuilt
  // when a quick rule creates a list.
  TfrmRule* frmRule = nullptr;
  // The four quick-rule items of the list's pop-up menu.
  enum class TQuickRuleItem { mnuARSSender, mnuARSSenderDomain, mnuARASender, mnuARASenderDomain };
  // Adds the selected row's sender address or domain to "Safe List" or "Black List".
  void mnuARSSenderClick(TQuickRuleItem item);
  // Appends the selected row's sender to the address book.
  void mnuAddBookClick();
  // Adds entry as a line of the named check list (created when missing) unless a line already
  // equals it without regard to case. Failures are shown by the desktop.
  void AddRule(const std::string& listName, const std::string& entry);
  // The selected row's sender: from the retrieved message, else from the "From" header of its
  // directory entry ("" when that is gone). False when no row is selected.
  bool SelectedSender(std::string& address, std::string& name) const;

 private:
  TLearner learner_;
  bool learnerLoaded_ = false, learnerBroken_ = false;
  size_t rowHint_ = 0;  // where RowOf last found a row
  void DeselectHiddenRows();
  // Bumped whenever rows may have moved or been removed, or a check starts matching them anew.
  uint64_t rowsGeneration_ = 0;
  // The rows one mailbox's session may still match, by Message-ID, as positions in list order;
  // each candidate is checked again before it is used.
  struct KnownRows {
    const TmsRemotePOP* client = nullptr;
    uint64_t generation = 0;
    size_t rows = 0;  // the rows looked at so far
    struct Positions {
      std::vector<size_t> at;
      size_t next = 0;  // those before it no longer qualify
    };
    std::unordered_map<std::string, Positions> byId;
  } knownRows_;
  // The first row, from the top, of this client with this Message-ID not yet matched in this
  // check; none when there is none.
  TListRow* KnownRow(const TmsRemotePOP& client, const std::string& id);
  // A copy of one mailbox's SeenIds for lookups, kept up with the list as it grows.
  struct SeenSet {
    const MailboxAccount* account = nullptr;
    size_t count = 0;
    std::unordered_set<std::string> ids;
  } seen_;
  // Whether the mailbox has seen the Message-ID; if not, it is recorded as seen now.
  bool SeenBefore(MailboxAccount& account, const std::string& id);
  // Rows whose "DELE" the server accepted in the session under way.
  std::vector<MessageListEntry*> ruleDeletions_;
  // The mailboxes whose session in this check did not finish.
  std::vector<const TmsRemotePOP*> unfinished_;
  std::vector<MailboxAccount*> plainNoted_;
  // The mailboxes whose latest check failed, already notified.
  std::unordered_set<const MailboxAccount*> failing_;
  // Panels as last measured (a width of -1: never).
  std::array<TStatusPanel, 5> measuredPanels_{{{"", -1}, {"", -1}, {"", -1}, {"", -1}, {"", -1}}};
};

}  // namespace norva
