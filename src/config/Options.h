// TfrmOptions: the preferences window's logic and the configuration it keeps in Config.QDB.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "mail/agsocket.h"
#include "mail/mspop3cl.h"
#include "mail/mssmtp.h"
#include "config/SecretStore.h"
#include "store/DateTime.h"
#include "store/QDB.h"

namespace norva {

// The folder of Config.QDB, the templates, check lists and archives: the running executable's
// folder when it keeps its files beside itself (KeepsFilesBeside), else $XDG_DATA_HOME/norva
// (default ~/.local/share/norva), created when first asked for. SetProgramFolder overrides it
// for the whole process ("" undoes that).
std::string ProgramFolder();
void SetProgramFolder(const std::string& folder);
// A program in folder keeps its files there when the folder is writable and is not one of the
// system's program folders (/usr, /bin, /sbin, /opt, ...), which even root must not fill with
// one user's mail.
bool KeepsFilesBeside(const std::string& folder);

// Rule codes run from 0 to these counts - 1 (the filter and action tables of the rule editor).
constexpr int32_t kFilterTypeCount = 24;
constexpr int32_t kActionTypeCount = 8;
// The filter that compares the spam learner's probability with a percentage.
constexpr uint8_t kLearnedFilter = 23;

// When a check is due: the all-mailboxes schedule and the base of every mailbox.
struct TCheckSchedule {
  bool CheckOnStartup = true;
  bool CheckManually = false;
  int32_t CheckFreqUnit = 0;  // 0 minutes, 1 hours, 2 days
  int32_t CheckFreq = 10;
  TDateTime NextCheck = 0;  // computed by the scheduler, never stored
};

// A password over an unencrypted connection: refused, allowed by the user, or allowed as before
// for a mailbox from a file that predates the choice, until the user has been asked once.
inline constexpr int32_t kPlainRefused = 0;
inline constexpr int32_t kPlainAllowed = 1;
inline constexpr int32_t kPlainAskOnce = 2;

// One configured mailbox, the data of one lsvAddress row.
struct MailboxAccount : TCheckSchedule {
  std::string Address;  // the row caption
  std::string Account;  // the POP3 user name
  std::string POP3Server;
  std::string SMTPServer;
  std::string Password;
  bool IsDefault = false;
  int32_t TimeOut = 60;  // seconds
  // How the connections are secured: 0 not at all, 1 TLS from the first byte, 2 upgraded after
  // the greeting (STLS, STARTTLS). SMTP authentication uses SMTPUser and SMTPPassword, or the
  // POP3 account's when they are empty.
  int32_t Security = 0;
  int32_t SMTPSecurity = 0;
  bool SMTPAuth = false;
  std::string SMTPUser;
  std::string SMTPPassword;
  // SHA-256 fingerprints of certificates the user accepted for the POP3 and the SMTP server.
  std::string POP3Certificate;
  std::string SMTPCertificate;
  // The header scan may send commands ahead of the replies when the server allows it.
  bool Pipelining = true;
  // Whether the password may go unencrypted to a server on another machine (kPlain...).
  int32_t PlainPassword = kPlainRefused;
  // OAuth 2.0: a command printing the access token, which both servers then get instead of the
  // password ("" for a password login).
  std::string TokenCommand;
  // Set at load when the password is kept in the keyring but could not be read from it. Saved
  // while still empty, it keeps the file's marker and the keyring's item as they are.
  bool PasswordUnread = false;
  bool SMTPPasswordUnread = false;
  // The mailbox's own POP3 client, created with the row.
  std::unique_ptr<TmsRemotePOP> Client = std::make_unique<TmsRemotePOP>();
  int32_t MessageCounter = 0;        // run time only
  std::vector<std::string> SeenIds;  // Message-ID values already seen

  // Copies Account, POP3Server, Password, TimeOut, Security, POP3Certificate and Pipelining into
  // the client.
  void ApplyToClient();
  // Sets smtp up for this mailbox's SMTP server: SMTPServer, TimeOut, SMTPSecurity,
  // SMTPCertificate and the login (SMTPUser and SMTPPassword, each defaulting to the POP3
  // account's).
  void ApplyToSMTP(TmsSMTP& smtp) const;
};

// One lsvRule row.
struct MailRule {
  uint8_t FilterType = 0;
  std::string FilterParam;
  uint8_t ActionType = 0;
  std::string ActionParam;
  bool operator==(const MailRule&) const = default;
};

// The rules in evaluation order. A check takes them with Share() (no copy) and keeps reading
// what it took while the user edits them: an edit of rules that are shared replaces the whole
// list, leaving the shared one as it was.
class TRuleList {
 public:
  using Rules = std::vector<MailRule>;
  using value_type = MailRule;
  using const_iterator = Rules::const_iterator;
  using iterator = const_iterator;

  TRuleList() = default;
  TRuleList(Rules rules) : rules_(std::make_shared<Rules>(std::move(rules))) {}
  TRuleList(std::initializer_list<MailRule> rules) : TRuleList(Rules(rules)) {}

  // The rules as they stand now; later edits leave what this points to unchanged.
  std::shared_ptr<const Rules> Share() const { return rules_; }
  const Rules& operator*() const { return *rules_; }
  size_t size() const { return rules_->size(); }
  bool empty() const { return rules_->empty(); }
  const MailRule& operator[](size_t n) const { return (*rules_)[n]; }
  const_iterator begin() const { return rules_->begin(); }
  const_iterator end() const { return rules_->end(); }

  void push_back(MailRule rule) { Edit().push_back(std::move(rule)); }
  void pop_back() { Edit().pop_back(); }
  void clear() { rules_ = std::make_shared<Rules>(); }
  void erase(const_iterator at) {
    const auto n = at - begin();
    Rules& rules = Edit();
    rules.erase(rules.begin() + n);
  }
  void Set(size_t n, MailRule rule) { Edit().at(n) = std::move(rule); }
  void Swap(size_t a, size_t b) {
    Rules& rules = Edit();
    std::swap(rules.at(a), rules.at(b));
  }

  friend bool operator==(const TRuleList& a, const TRuleList& b) { return *a == *b; }
  friend bool operator==(const TRuleList& a, const Rules& b) { return *a == b; }

 private:
  // The list to change: this one while nobody shares it, else a copy that replaces it.
  Rules& Edit() {
    if (rules_.use_count() > 1) rules_ = std::make_shared<Rules>(*rules_);
    return *rules_;
  }
  std::shared_ptr<Rules> rules_ = std::make_shared<Rules>();
};

// A template or check list: its name and the number of its file (FN<n>.txt or CL<n>.txt).
struct TNamedFile {
  std::string Name;
  int32_t FileNumber = 0;
  bool operator==(const TNamedFile&) const = default;
};

// Texts equal without regard to ASCII letter case: names of check lists and templates, and
// the texts rules compare.
bool SameText(std::string_view a, std::string_view b);
// The named template or check list, found without regard to case; none when there is none.
const TNamedFile* FindNamed(const std::vector<TNamedFile>& files, std::string_view name);

// One lsvBook row: caption, first and second sub-item.
struct TBookRow {
  std::string Name;
  std::string Address;
  std::string Comment;
  bool operator==(const TBookRow&) const = default;
};

// A drop-down list: its items and the selected index (-1 for none).
struct TComboModel {
  std::vector<std::string> Items;
  int32_t ItemIndex = -1;
  // The index when it names an item, else -1 (as a list widget takes it).
  void Select(int32_t index);
};

// What SalvaUIDs needs of one row of the main window's message list.
struct SeenIdRow {
  const TmsRemotePOP* Client = nullptr;
  bool DeletedOnServer = false;
  uint8_t Presence = 0;
  std::string MessageId;
};

class TfrmOptions {
 public:
  explicit TfrmOptions(std::string folder = ProgramFolder());
  TfrmOptions(const TfrmOptions&) = delete;
  TfrmOptions& operator=(const TfrmOptions&) = delete;

  const std::string& Folder() const { return folder_; }
  std::string ConfigFileName() const { return folder_ + "/Config.QDB"; }

  // Reads every key into the fields and lists below (a missing file is created empty). Raises
  // the store's error when the file cannot be opened; every single read falls back to its default.
  void Load();
  // Why the last Load failed; "" when it succeeded or none ran. After a failed load the fields
  // hold defaults, not the user's settings: Save and SalvaUIDs refuse to write them over the
  // file, and the window placement is not stored either.
  const std::string& LoadError() const { return loadError_; }
  // btnOKClick's store part: writes every field and list back.
  void Save();
  // Stores the Message-IDs of every mailbox's current rows as its seen identifiers. A mailbox
  // whose session did not finish (its client is in unfinished) also keeps the identifiers it had,
  // but for those of rows deleted on the server: its session never reached the other messages.
  void SalvaUIDs(const std::vector<SeenIdRow>& rows,
                 const std::vector<const TmsRemotePOP*>& unfinished = {});
  // Writes the check lists' names and file numbers, and only those keys: a list made outside the
  // preferences window (a quick rule) is registered at once, so its number is never given out
  // again.
  void SaveCheckLists();
  // Writes the mailbox's accepted POP3 (or SMTP) certificate, and only that key; false when
  // account is not one of lsvAddress.
  bool SaveCertificate(const MailboxAccount& account, bool smtp);
  // Writes the mailbox's security choices (POP3, SMTP, the password unencrypted), and only
  // those keys; false when account is not one of lsvAddress.
  bool SaveSecurity(const MailboxAccount& account);

  // The stored password of a dial-up entry, from the open store (and the keyring).
  std::string ReadRasPassword(const std::string& entry);

  // Reads from the open store; every failure gives the default (false / 0 for a wrong size).
  bool QReadBoolean(const std::string& key, bool defaultValue);
  int32_t QReadInteger(const std::string& key, int32_t defaultValue);
  std::string QReadString(const std::string& key);

  TQDB QDB1;

  // ---- connection ----
  bool chkBlocking = false;
  // The largest message to retrieve, in MB (1 to 1048576); a larger one stays on the server.
  int32_t edtMaxMessageSize = 1024;
  int64_t MaxMessageBytes() const { return int64_t(edtMaxMessageSize) * 1024 * 1024; }
  // Deleting on the server goes ahead without asking first.
  bool chkNoDeleteConfirm = false;
  // The user's marks (spam, safe) train the spam learner.
  bool chkLearn = true;
  bool radDirectConnection = true;  // else radDialUp, only when the user picks it
  bool radDialUp() const { return !radDirectConnection; }
  bool chkAutoDial = true;
  TComboModel cmbRas;  // the dial-up entries, filled from RasEntries at load
  std::string edtRASPassword;

  // ---- mailboxes and their schedules ----
  bool chkCheckTogether = true;
  std::string edtUserName;
  TCheckSchedule AllMailboxesSchedule;
  // The check widgets of the mailbox page: the schedule shown and edited there.
  bool chkCheckOnStartup = true;
  bool radCheckManual = false;  // else radCheckFreq
  bool radCheckFreq() const { return !radCheckManual; }
  TComboModel cmbFreq{{"minutes", "hours", "days"}, 0};
  int32_t tbaFreq = 10;  // track bar position, 1 to 60
  // One row per mailbox, in check order; the cells are Address, Account, POP3Server, SMTPServer.
  std::vector<std::unique_ptr<MailboxAccount>> lsvAddress;

  // ---- alarms ----
  // "Pop Up Window" (Alarm/NewPopUp, Alarm/UrgentPopUp) alarms the user; radAlarmDialog says
  // how: the modal box, or else a desktop notification. A configuration stored before the
  // choice existed keeps the box it had; a new one notifies.
  bool radAlarmDialog = false;
  bool chkNewPopUp = true;
  bool chkUrgentPopUp = true;
  bool chkNewPlay = false;
  bool chkUrgentPlay = false;
  bool chkNewPlayLoop = false;
  bool chkUrgentPlayLoop = false;
  std::string edtNewSound;
  std::string edtUrgentSound;

  // ---- rules, templates, check lists, address book ----
  TRuleList lsvRule;
  std::vector<TNamedFile> lstTemplate;
  std::vector<TNamedFile> lstCList;
  int32_t TemplateCounter = 0;  // the last template file number given out
  int32_t CListCounter = 0;     // the last check-list file number given out
  std::vector<TBookRow> lsvBook;
  int32_t BookSort = 0;  // sort column of lsvBook, 0 to 2

  // What the last Load had to leave out (status messages for the user).
  std::vector<std::string> LoadWarnings;
  // Passwords the last Save kept in the file because the keyring refused them.
  std::vector<std::string> SaveWarnings;

  // Where the passwords are kept; none keeps them in Config.QDB as plain values.
  std::shared_ptr<TSecretStore> Keyring = DefaultSecretStore();

  // ---- what the rest of the program plugs in ----
  // The system's dial-up entry names; none when unset.
  std::function<std::vector<std::string>()> RasEntries;
  // The main window's SMTP client, whose blocking mode follows chkBlocking.
  TagSocket* SMTPClient = nullptr;
  // A mailbox's client was created (the main window binds its events here).
  std::function<void(MailboxAccount&)> OnClientCreated;
  // Recompute a mailbox's NextCheck, and the all-mailboxes one.
  std::function<void(MailboxAccount&)> OnScheduleChanged;
  std::function<void(TCheckSchedule&)> OnAllScheduleChanged;
  // Recompute the next check time from all schedules.
  std::function<void()> OnNextCheckCalc;
  // Refill the compose window's recipient list from lsvBook.
  std::function<void()> OnFillEdtMsgTo;

 private:
  // The store's bound on a stored count: never negative, never above the number of entries.
  int32_t ReadCount(const std::string& key);
  void LoadFromStore();
  // Throws when the last Load failed (see LoadError).
  void RefuseUnreadFile() const;
  void LoadAccounts();
  void LoadLists();
  void SaveAccounts(std::set<TSecretKey>& kept);
  void SaveLists(std::set<TSecretKey>& kept);
  void SaveNamed(const std::string& section, const std::vector<TNamedFile>& list);
  // A password's value from the open store: the file's, or the keyring's for a marker. unread
  // tells that the keyring has it but could not give it.
  std::string ReadSecret(const std::string& fileKey, const TSecretKey& id, bool& unread,
                         const std::string& owner);
  // Writes a password into the keyring with a marker in the file, or into the file when the
  // keyring cannot take it. Each item still in use goes into kept.
  void WriteSecret(const std::string& fileKey, const TSecretKey& id, const std::string& value,
                   bool unread, std::set<TSecretKey>& kept);
  // Moves the other dial-up entries' passwords as well; empties the password keys of rows that
  // no longer exist.
  void SaveOtherSecrets(std::set<TSecretKey>& kept);

  // The keyring items this configuration refers to (markers in the file).
  std::set<TSecretKey> keyringItems_;
  bool rasPasswordUnread_ = false;
  std::string rasPasswordEntry_;  // the entry whose password edtRASPassword holds

  std::string folder_;
  std::string loadError_;
};

}  // namespace norva
