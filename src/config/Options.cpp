// TfrmOptions: loading and saving the configuration keys of Config.QDB.
#include "config/Options.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <utility>

namespace norva {

namespace {

std::string& FolderOverride() {
  static std::string folder;
  return folder;
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return ".";
}

std::string Indexed(const std::string& key, size_t n) {
  return key + std::to_string(n);
}

// The keyring items of a mailbox's passwords and of a dial-up entry's.
TSecretKey POP3Item(const MailboxAccount& a) {
  return {"pop3", a.Address, a.POP3Server, a.Account};
}
TSecretKey SMTPItem(const MailboxAccount& a) {
  return {"smtp", a.Address, a.SMTPServer, a.SMTPUser.empty() ? a.Account : a.SMTPUser};
}
TSecretKey DialUpItem(const std::string& entry) {
  return {"dialup", "", entry, ""};
}
constexpr char kRasPasswordKey[] = "Connection/RASPSW-";

// Keeps the store open for one load or save. When the work fails, its changes are dropped and
// the store is closed, so the file stays as it was and the next open starts clean.
class StoreSession {
 public:
  StoreSession(TQDB& db, const std::string& path) : db_(db) { db_.SetFileName(path); }
  ~StoreSession() {
    if (closed_) return;
    db_.SetSaveOnClose(false);
    try {
      db_.SetFileName("");
    } catch (...) {
    }
    db_.SetSaveOnClose(true);
  }
  StoreSession(const StoreSession&) = delete;
  StoreSession& operator=(const StoreSession&) = delete;

  void Close() {
    db_.SetFileName("");
    closed_ = true;
  }

 private:
  TQDB& db_;
  bool closed_ = false;
};

}  // namespace

std::string ProgramFolder() {
  if (!FolderOverride().empty()) return FolderOverride();
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && exe.has_parent_path() && KeepsFilesBeside(exe.parent_path().string()))
    return exe.parent_path().string();
  // XDG base directories ignore a relative $XDG_DATA_HOME.
  const char* xdg = std::getenv("XDG_DATA_HOME");
  const fs::path base =
      xdg && *xdg == '/' ? fs::path(xdg) : fs::path(HomeFolder()) / ".local/share";
  const fs::path folder = base / "norva";
  // A failure shows later, when the store cannot be opened there.
  if (fs::create_directories(folder, ec))
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, ec);
  return folder.string();
}

bool KeepsFilesBeside(const std::string& folder) {
  if (folder.empty() || folder[0] != '/' || ::access(folder.c_str(), W_OK) != 0) return false;
  for (const char* system : {"/usr", "/bin", "/sbin", "/lib", "/opt", "/etc", "/snap"}) {
    const size_t n = std::strlen(system);
    if (folder.compare(0, n, system) == 0 && (folder.size() == n || folder[n] == '/'))
      return false;
  }
  return true;
}

void SetProgramFolder(const std::string& folder) {
  FolderOverride() = folder;
}

void MailboxAccount::ApplyToClient() {
  Client->UserName = Account;
  Client->Server = POP3Server;
  Client->Password = Password;
  Client->SetTimeOut(TimeOut);
  Client->Security = TSecurity(std::clamp(Security, 0, 2));
  Client->AcceptedFingerprint = POP3Certificate;
  Client->Pipelining = Pipelining;
  Client->AllowPasswordInClear = PlainPassword != kPlainRefused;
  Client->TokenCommand = TokenCommand;
}

void MailboxAccount::ApplyToSMTP(TmsSMTP& smtp) const {
  smtp.Server = SMTPServer;
  smtp.SetTimeOut(TimeOut);
  smtp.Security = TSecurity(std::clamp(SMTPSecurity, 0, 2));
  smtp.AcceptedFingerprint = SMTPCertificate;
  smtp.Authenticate = SMTPAuth;
  smtp.AuthUser = SMTPUser.empty() ? Account : SMTPUser;
  smtp.AuthPassword = SMTPPassword.empty() ? Password : SMTPPassword;
  smtp.AllowPasswordInClear = PlainPassword != kPlainRefused;
  smtp.TokenCommand = TokenCommand;
}

void TComboModel::Select(int32_t index) {
  ItemIndex = index >= 0 && size_t(index) < Items.size() ? index : -1;
}

TfrmOptions::TfrmOptions(std::string folder) : folder_(std::move(folder)) {}

// ---- reading ----

bool TfrmOptions::QReadBoolean(const std::string& key, bool defaultValue) {
  try {
    return QDB1.AdminAsBoolean(key);
  } catch (const Exception&) {
    return defaultValue;
  }
}

int32_t TfrmOptions::QReadInteger(const std::string& key, int32_t defaultValue) {
  try {
    return QDB1.AdminAsInteger(key);
  } catch (const Exception&) {
    return defaultValue;
  }
}

std::string TfrmOptions::QReadString(const std::string& key) {
  try {
    return QDB1.AdminAsString(key);
  } catch (const Exception&) {
    return "";
  }
}

int32_t TfrmOptions::ReadCount(const std::string& key) {
  // Every counted row was saved with at least one key of its own, so a count above the number
  // of entries can only come from a damaged file; it must not build millions of rows.
  return std::clamp(QReadInteger(key, 0), 0, QDB1.AdminCount());
}

// ---- loading ----

void TfrmOptions::Load() {
  loadError_ = "the load did not finish";
  try {
    LoadFromStore();
  } catch (const std::exception& e) {
    loadError_ = e.what();
    if (loadError_.empty()) loadError_ = "unknown error";
    throw;
  }
  loadError_.clear();
}

void TfrmOptions::RefuseUnreadFile() const {
  if (!loadError_.empty())
    throw Exception("The configuration " + ConfigFileName() + " could not be read (" +
                    loadError_ + "); Norva leaves it as it is and saves nothing into it.");
}

void TfrmOptions::LoadFromStore() {
  LoadWarnings.clear();
  keyringItems_.clear();
  StoreSession session(QDB1, ConfigFileName());

  chkBlocking = QReadBoolean("Connection/Blocking", false);
  edtMaxMessageSize = std::clamp(QReadInteger("Connection/Max Message Size", 1024), 1, 1048576);
  chkNoDeleteConfirm = QReadBoolean("Connection/No Delete Confirmation", false);
  chkLearn = QReadBoolean("Learning/On", true);
  if (SMTPClient) SMTPClient->Blocking = chkBlocking;
  AllMailboxesSchedule.CheckOnStartup = QReadBoolean("ALL/Check On Startup", true);
  AllMailboxesSchedule.CheckManually = QReadBoolean("ALL/Check Manually", false);
  AllMailboxesSchedule.CheckFreqUnit = QReadInteger("ALL/Check Freq Unit", 0);
  AllMailboxesSchedule.CheckFreq = QReadInteger("ALL/Check Freq", 10);
  if (OnAllScheduleChanged) OnAllScheduleChanged(AllMailboxesSchedule);

  LoadAccounts();

  chkCheckTogether = QReadBoolean("Connection/Check Together", true);
  edtUserName = QReadString("Address/UserName");
  if (chkCheckTogether) {
    chkCheckOnStartup = AllMailboxesSchedule.CheckOnStartup;
    radCheckManual = AllMailboxesSchedule.CheckManually;
    cmbFreq.Select(AllMailboxesSchedule.CheckFreqUnit);
    tbaFreq = std::clamp(AllMailboxesSchedule.CheckFreq, 1, 60);
  }

  cmbRas.Items = RasEntries ? RasEntries() : std::vector<std::string>{};
  cmbRas.Select(0);
  radDirectConnection = QReadBoolean("Connection/Direct Connection", true);
  chkAutoDial = QReadBoolean("Connection/Auto Dial", true);
  cmbRas.Select(QReadInteger("Connection/RAS", 0));
  edtRASPassword.clear();
  rasPasswordUnread_ = false;
  rasPasswordEntry_.clear();
  if (cmbRas.ItemIndex >= 0)
    edtRASPassword = ReadRasPassword(cmbRas.Items[size_t(cmbRas.ItemIndex)]);

  chkNewPopUp = QReadBoolean("Alarm/NewPopUp", true);
  radAlarmDialog = QReadBoolean("Alarm/As Dialog Box", QDB1.ExistsAdmin("Alarm/NewPopUp"));
  chkUrgentPopUp = QReadBoolean("Alarm/UrgentPopUp", true);
  chkNewPlay = QReadBoolean("Alarm/NewPlay", false);
  chkUrgentPlay = QReadBoolean("Alarm/UrgentPlay", false);
  chkNewPlayLoop = QReadBoolean("Alarm/NewPlayLoop", false);
  chkUrgentPlayLoop = QReadBoolean("Alarm/UrgentPlayLoop", false);
  edtNewSound = QReadString("Alarm/NewSound");
  edtUrgentSound = QReadString("Alarm/UrgentSound");

  LoadLists();

  session.Close();
  if (OnNextCheckCalc) OnNextCheckCalc();
}

void TfrmOptions::LoadAccounts() {
  lsvAddress.clear();
  const int32_t count = ReadCount("Address/Count");
  for (int32_t i = 0; i < count; ++i) {
    const size_t n = size_t(i);
    auto a = std::make_unique<MailboxAccount>();
    a->Address = QReadString(Indexed("Address/Address-", n));
    a->Account = QReadString(Indexed("Address/Account-", n));
    a->POP3Server = QReadString(Indexed("Address/POP3-", n));
    a->SMTPServer = QReadString(Indexed("Address/SMTP-", n));
    const std::string owner = "mailbox " + std::to_string(n + 1) + " (" + a->Address + ")";
    a->Password = ReadSecret(Indexed("Address/Password-", n), POP3Item(*a), a->PasswordUnread,
                             "The password of " + owner);
    a->CheckOnStartup = QReadBoolean(Indexed("Address/Check On Startup-", n), true);
    a->CheckManually = QReadBoolean(Indexed("Address/Check Manually-", n), false);
    a->CheckFreqUnit = QReadInteger(Indexed("Address/Check Freq Unit-", n), 0);
    a->CheckFreq = QReadInteger(Indexed("Address/Check Freq-", n), 10);
    a->IsDefault = QReadBoolean(Indexed("Address/Is Default-", n), false);
    a->TimeOut = QReadInteger(Indexed("Address/TimeOut-", n), 60);
    // Secured connections: absent in older files, which then behave as before.
    a->Security = std::clamp(QReadInteger(Indexed("Address/Security-", n), 0), 0, 2);
    a->SMTPSecurity = std::clamp(QReadInteger(Indexed("Address/SMTP Security-", n), 0), 0, 2);
    a->SMTPAuth = QReadBoolean(Indexed("Address/SMTP Auth-", n), false);
    a->SMTPUser = QReadString(Indexed("Address/SMTP User-", n));
    a->SMTPPassword = ReadSecret(Indexed("Address/SMTP Password-", n), SMTPItem(*a),
                                 a->SMTPPasswordUnread, "The SMTP password of " + owner);
    a->POP3Certificate = QReadString(Indexed("Address/Cert-", n));
    a->SMTPCertificate = QReadString(Indexed("Address/SMTP Cert-", n));
    a->Pipelining = QReadBoolean(Indexed("Address/Pipelining-", n), true);
    a->TokenCommand = QReadString(Indexed("Address/Token Command-", n));
    a->PlainPassword = std::clamp(
        QReadInteger(Indexed("Address/Plain Password-", n), kPlainAskOnce), kPlainRefused,
        kPlainAskOnce);
    a->Client->Blocking = chkBlocking;
    a->ApplyToClient();
    const int32_t seen = ReadCount(Indexed("Address/UIDC-", n));
    for (int32_t m = 0; m < seen; ++m)
      a->SeenIds.push_back(
          QReadString(Indexed("Address/UIDL-" + std::to_string(n) + "-", size_t(m))));
    lsvAddress.push_back(std::move(a));
    if (OnClientCreated) OnClientCreated(*lsvAddress.back());
    if (OnScheduleChanged) OnScheduleChanged(*lsvAddress.back());
  }
}

void TfrmOptions::LoadLists() {
  lsvRule.clear();
  const int32_t rules = ReadCount("Rules/Count");
  for (int32_t i = 0; i < rules; ++i) {
    const size_t n = size_t(i);
    const int32_t filter = QReadInteger(Indexed("Rules/FT-", n), 0);
    const int32_t action = QReadInteger(Indexed("Rules/AT-", n), 0);
    // A code outside the tables would make the rule evaluate nonsense: such a rule is dropped,
    // and the user is told.
    if (filter < 0 || filter >= kFilterTypeCount || action < 0 || action >= kActionTypeCount) {
      LoadWarnings.push_back("Rule " + std::to_string(i + 1) +
                             " skipped: its filter or action type is unknown");
      continue;
    }
    lsvRule.push_back({uint8_t(filter), QReadString(Indexed("Rules/FParam-", n)), uint8_t(action),
                       QReadString(Indexed("Rules/AParam-", n))});
  }

  auto loadNamed = [this](const std::string& section, std::vector<TNamedFile>& list,
                          int32_t& counter) {
    list.clear();
    counter = 0;
    const int32_t count = ReadCount(section + "/Count");
    for (int32_t i = 0; i < count; ++i) {
      const size_t n = size_t(i);
      list.push_back({QReadString(Indexed(section + "/Name-", n)),
                      QReadInteger(Indexed(section + "/FN-", n), 0)});
      counter = std::max(counter, list.back().FileNumber);
    }
  };
  loadNamed("Templates", lstTemplate, TemplateCounter);
  loadNamed("Check Lists", lstCList, CListCounter);

  lsvBook.clear();
  const int32_t book = ReadCount("Book/Count");
  for (int32_t i = 0; i < book; ++i) {
    const size_t n = size_t(i);
    lsvBook.push_back({QReadString(Indexed("Book/Name-", n)),
                       QReadString(Indexed("Book/Address-", n)),
                       QReadString(Indexed("Book/Comment-", n))});
  }
  // The book has three columns; any other stored column sorts by the first.
  BookSort = QReadInteger("Book/Sort", 0);
  if (BookSort < 0 || BookSort > 2) BookSort = 0;
}

// ---- saving ----

void TfrmOptions::Save() {
  RefuseUnreadFile();
  StoreSession session(QDB1, ConfigFileName());

  QDB1.SetAdminBoolean("Connection/Check Together", chkCheckTogether);
  QDB1.SetAdminString("Address/UserName", edtUserName);
  if (chkCheckTogether) {
    AllMailboxesSchedule.CheckOnStartup = chkCheckOnStartup;
    AllMailboxesSchedule.CheckManually = radCheckManual;
    AllMailboxesSchedule.CheckFreqUnit = cmbFreq.ItemIndex;
    AllMailboxesSchedule.CheckFreq = tbaFreq;
    if (OnAllScheduleChanged) OnAllScheduleChanged(AllMailboxesSchedule);
    QDB1.SetAdminBoolean("ALL/Check On Startup", AllMailboxesSchedule.CheckOnStartup);
    QDB1.SetAdminBoolean("ALL/Check Manually", AllMailboxesSchedule.CheckManually);
    QDB1.SetAdminInteger("ALL/Check Freq Unit", AllMailboxesSchedule.CheckFreqUnit);
    QDB1.SetAdminInteger("ALL/Check Freq", AllMailboxesSchedule.CheckFreq);
  }

  SaveWarnings.clear();
  std::set<TSecretKey> kept;
  SaveAccounts(kept);
  SaveLists(kept);
  SaveOtherSecrets(kept);

  if (OnFillEdtMsgTo) OnFillEdtMsgTo();
  session.Close();
  // Only now that the file no longer names them may the items it dropped (a removed mailbox, a
  // changed server or user, a password the keyring refused and the file now holds) go. A failure
  // leaves an unused item behind, never a lost password.
  for (const TSecretKey& item : keyringItems_) {
    if (kept.count(item) || !Keyring) continue;
    try {
      Keyring->Clear(item);
    } catch (const ESecretStoreError&) {
    }
  }
  keyringItems_ = std::move(kept);
  if (OnNextCheckCalc) OnNextCheckCalc();
}

// ---- passwords ----

std::string TfrmOptions::ReadRasPassword(const std::string& entry) {
  rasPasswordEntry_ = entry;
  return ReadSecret(kRasPasswordKey + entry, DialUpItem(entry), rasPasswordUnread_,
                    "The dial-up password of " + entry);
}

std::string TfrmOptions::ReadSecret(const std::string& fileKey, const TSecretKey& id,
                                    bool& unread, const std::string& owner) {
  unread = false;
  std::string value = QReadString(fileKey);
  if (value != kKeyringMarker) return value;
  keyringItems_.insert(id);
  std::string why = "there is no keyring here";
  if (Keyring) {
    try {
      if (std::optional<std::string> secret = Keyring->Lookup(id)) return *secret;
      // The item was removed from the keyring: the password is gone, and the field empty.
      LoadWarnings.push_back(owner + " is no longer in the desktop keyring; please enter it again");
      return "";
    } catch (const ESecretStoreError& e) {
      why = e.what();
    }
  }
  unread = true;
  LoadWarnings.push_back(owner + " is kept in the desktop keyring, which could not be read (" +
                         why + ")");
  return "";
}

void TfrmOptions::WriteSecret(const std::string& fileKey, const TSecretKey& id,
                              const std::string& value, bool unread, std::set<TSecretKey>& kept) {
  if (unread && value.empty()) {
    // Never read, never changed: the keyring still has it.
    QDB1.SetAdminString(fileKey, kKeyringMarker);
    kept.insert(id);
    return;
  }
  if (Keyring && !value.empty()) {
    try {
      Keyring->Store(id, value);
      QDB1.SetAdminString(fileKey, kKeyringMarker);
      kept.insert(id);
      return;
    } catch (const ESecretStoreError& e) {
      if (!e.Unavailable)
        SaveWarnings.push_back(id.Label() + " stays in " + ConfigFileName() + ": " + e.what());
    }
  }
  QDB1.SetAdminString(fileKey, value);
}

void TfrmOptions::SaveOtherSecrets(std::set<TSecretKey>& kept) {
  std::vector<std::string> keys;
  for (int32_t i = 0; i < QDB1.AdminCount(); ++i) {
    std::string key = QDB1.AdminKeyAt(i);
    if (IsPasswordKey(key)) keys.push_back(std::move(key));
  }
  const std::string selected =
      cmbRas.ItemIndex >= 0 && size_t(cmbRas.ItemIndex) < cmbRas.Items.size()
          ? cmbRas.Items[size_t(cmbRas.ItemIndex)]
          : "";
  for (const std::string& key : keys) {
    if (key.rfind(kRasPasswordKey, 0) == 0) {
      // The other dial-up entries: their passwords move to the keyring too; those already there
      // stay.
      const std::string entry = key.substr(std::strlen(kRasPasswordKey));
      if (!selected.empty() && entry == selected) continue;
      const std::string value = QReadString(key);
      if (value == kKeyringMarker)
        kept.insert(DialUpItem(entry));
      else if (!value.empty())
        WriteSecret(key, DialUpItem(entry), value, false, kept);
      continue;
    }
    // A row past the count is a removed mailbox: its password leaves the file.
    const std::string index = key.substr(key.rfind('-') + 1);
    if (index.empty() || index.find_first_not_of("0123456789") != std::string::npos) continue;
    if (index.size() < 10 && std::stoul(index) < lsvAddress.size()) continue;
    if (!QReadString(key).empty()) QDB1.SetAdminString(key, "");
  }
}

void TfrmOptions::SaveAccounts(std::set<TSecretKey>& kept) {
  QDB1.SetAdminInteger("Address/Count", int32_t(lsvAddress.size()));
  for (size_t n = 0; n < lsvAddress.size(); ++n) {
    MailboxAccount& a = *lsvAddress[n];
    QDB1.SetAdminString(Indexed("Address/Address-", n), a.Address);
    QDB1.SetAdminString(Indexed("Address/Account-", n), a.Account);
    QDB1.SetAdminString(Indexed("Address/POP3-", n), a.POP3Server);
    QDB1.SetAdminString(Indexed("Address/SMTP-", n), a.SMTPServer);
    WriteSecret(Indexed("Address/Password-", n), POP3Item(a), a.Password, a.PasswordUnread, kept);
    QDB1.SetAdminBoolean(Indexed("Address/Check On Startup-", n), a.CheckOnStartup);
    QDB1.SetAdminBoolean(Indexed("Address/Check Manually-", n), a.CheckManually);
    QDB1.SetAdminInteger(Indexed("Address/Check Freq Unit-", n), a.CheckFreqUnit);
    QDB1.SetAdminInteger(Indexed("Address/Check Freq-", n), a.CheckFreq);
    QDB1.SetAdminBoolean(Indexed("Address/Is Default-", n), a.IsDefault);
    QDB1.SetAdminInteger(Indexed("Address/TimeOut-", n), a.TimeOut);
    QDB1.SetAdminInteger(Indexed("Address/Security-", n), a.Security);
    QDB1.SetAdminInteger(Indexed("Address/SMTP Security-", n), a.SMTPSecurity);
    QDB1.SetAdminBoolean(Indexed("Address/SMTP Auth-", n), a.SMTPAuth);
    QDB1.SetAdminString(Indexed("Address/SMTP User-", n), a.SMTPUser);
    WriteSecret(Indexed("Address/SMTP Password-", n), SMTPItem(a), a.SMTPPassword,
                a.SMTPPasswordUnread, kept);
    QDB1.SetAdminString(Indexed("Address/Cert-", n), a.POP3Certificate);
    QDB1.SetAdminString(Indexed("Address/SMTP Cert-", n), a.SMTPCertificate);
    QDB1.SetAdminBoolean(Indexed("Address/Pipelining-", n), a.Pipelining);
    QDB1.SetAdminInteger(Indexed("Address/Plain Password-", n), a.PlainPassword);
    QDB1.SetAdminString(Indexed("Address/Token Command-", n), a.TokenCommand);
    // Edits made on the mailbox page reach the client here.
    a.Client->Blocking = chkBlocking;
    a.ApplyToClient();
    if (OnScheduleChanged) OnScheduleChanged(a);
  }
}

void TfrmOptions::SaveLists(std::set<TSecretKey>& kept) {
  QDB1.SetAdminBoolean("Connection/Blocking", chkBlocking);
  QDB1.SetAdminInteger("Connection/Max Message Size", edtMaxMessageSize);
  QDB1.SetAdminBoolean("Connection/No Delete Confirmation", chkNoDeleteConfirm);
  QDB1.SetAdminBoolean("Learning/On", chkLearn);
  if (SMTPClient) SMTPClient->Blocking = chkBlocking;
  QDB1.SetAdminBoolean("Connection/Direct Connection", radDirectConnection);
  QDB1.SetAdminBoolean("Connection/Auto Dial", chkAutoDial);
  QDB1.SetAdminInteger("Connection/RAS", cmbRas.ItemIndex);
  // Only the selected entry's password; without a selection there is no entry to key it by.
  if (cmbRas.ItemIndex >= 0 && size_t(cmbRas.ItemIndex) < cmbRas.Items.size()) {
    const std::string& entry = cmbRas.Items[size_t(cmbRas.ItemIndex)];
    WriteSecret(kRasPasswordKey + entry, DialUpItem(entry), edtRASPassword,
                rasPasswordUnread_ && rasPasswordEntry_ == entry, kept);
  }

  QDB1.SetAdminBoolean("Alarm/NewPopUp", chkNewPopUp);
  QDB1.SetAdminBoolean("Alarm/As Dialog Box", radAlarmDialog);
  QDB1.SetAdminBoolean("Alarm/UrgentPopUp", chkUrgentPopUp);
  QDB1.SetAdminBoolean("Alarm/NewPlay", chkNewPlay);
  QDB1.SetAdminBoolean("Alarm/UrgentPlay", chkUrgentPlay);
  QDB1.SetAdminBoolean("Alarm/NewPlayLoop", chkNewPlayLoop);
  QDB1.SetAdminBoolean("Alarm/UrgentPlayLoop", chkUrgentPlayLoop);
  QDB1.SetAdminString("Alarm/NewSound", edtNewSound);
  QDB1.SetAdminString("Alarm/UrgentSound", edtUrgentSound);

  QDB1.SetAdminInteger("Rules/Count", int32_t(lsvRule.size()));
  for (size_t n = 0; n < lsvRule.size(); ++n) {
    QDB1.SetAdminInteger(Indexed("Rules/FT-", n), lsvRule[n].FilterType);
    QDB1.SetAdminString(Indexed("Rules/FParam-", n), lsvRule[n].FilterParam);
    QDB1.SetAdminInteger(Indexed("Rules/AT-", n), lsvRule[n].ActionType);
    QDB1.SetAdminString(Indexed("Rules/AParam-", n), lsvRule[n].ActionParam);
  }

  SaveNamed("Templates", lstTemplate);
  SaveNamed("Check Lists", lstCList);

  QDB1.SetAdminInteger("Book/Count", int32_t(lsvBook.size()));
  for (size_t n = 0; n < lsvBook.size(); ++n) {
    QDB1.SetAdminString(Indexed("Book/Name-", n), lsvBook[n].Name);
    QDB1.SetAdminString(Indexed("Book/Address-", n), lsvBook[n].Address);
    QDB1.SetAdminString(Indexed("Book/Comment-", n), lsvBook[n].Comment);
  }
  QDB1.SetAdminInteger("Book/Sort", BookSort);
}

// ---- seen identifiers ----

void TfrmOptions::SalvaUIDs(const std::vector<SeenIdRow>& rows,
                            const std::vector<const TmsRemotePOP*>& unfinished) {
  RefuseUnreadFile();
  StoreSession session(QDB1, ConfigFileName());
  for (size_t n = 0; n < lsvAddress.size(); ++n) {
    const TmsRemotePOP* client = lsvAddress[n]->Client.get();
    const std::string prefix = "Address/UIDL-" + std::to_string(n) + "-";
    size_t m = 0;
    std::map<std::string, int32_t> stored, deleted;  // how often each id is stored / went
    for (const SeenIdRow& row : rows) {
      if (row.Client != client) continue;
      if (row.DeletedOnServer) ++deleted[row.MessageId];
      if (row.DeletedOnServer || row.Presence == 0) continue;
      QDB1.SetAdminString(Indexed(prefix, m), row.MessageId);
      ++stored[row.MessageId];
      ++m;
    }
    if (std::find(unfinished.begin(), unfinished.end(), client) != unfinished.end()) {
      // Each identifier as often as the mailbox had it, less the rows stored or deleted.
      std::map<std::string, int32_t> had;
      for (const std::string& id : lsvAddress[n]->SeenIds) {
        if (++had[id] <= stored[id] + deleted[id]) continue;
        QDB1.SetAdminString(Indexed(prefix, m), id);
        ++m;
      }
    }
    // With no row left (all deleted, or the session failed) the old list stays.
    if (m > 0) QDB1.SetAdminInteger(Indexed("Address/UIDC-", n), int32_t(m));
  }
  session.Close();
}

void TfrmOptions::SaveNamed(const std::string& section, const std::vector<TNamedFile>& list) {
  QDB1.SetAdminInteger(section + "/Count", int32_t(list.size()));
  for (size_t n = 0; n < list.size(); ++n) {
    QDB1.SetAdminString(Indexed(section + "/Name-", n), list[n].Name);
    QDB1.SetAdminInteger(Indexed(section + "/FN-", n), list[n].FileNumber);
  }
}

void TfrmOptions::SaveCheckLists() {
  RefuseUnreadFile();
  StoreSession session(QDB1, ConfigFileName());
  SaveNamed("Check Lists", lstCList);
  session.Close();
}

bool TfrmOptions::SaveCertificate(const MailboxAccount& account, bool smtp) {
  for (size_t n = 0; n < lsvAddress.size(); ++n) {
    if (lsvAddress[n].get() != &account) continue;
    StoreSession session(QDB1, ConfigFileName());
    QDB1.SetAdminString(Indexed(smtp ? "Address/SMTP Cert-" : "Address/Cert-", n),
                        smtp ? account.SMTPCertificate : account.POP3Certificate);
    session.Close();
    return true;
  }
  return false;
}

bool TfrmOptions::SaveSecurity(const MailboxAccount& account) {
  for (size_t n = 0; n < lsvAddress.size(); ++n) {
    if (lsvAddress[n].get() != &account) continue;
    StoreSession session(QDB1, ConfigFileName());
    QDB1.SetAdminInteger(Indexed("Address/Security-", n), account.Security);
    QDB1.SetAdminInteger(Indexed("Address/SMTP Security-", n), account.SMTPSecurity);
    QDB1.SetAdminInteger(Indexed("Address/Plain Password-", n), account.PlainPassword);
    session.Close();
    return true;
  }
  return false;
}

bool SameText(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

const TNamedFile* FindNamed(const std::vector<TNamedFile>& files, std::string_view name) {
  for (const TNamedFile& file : files)
    if (SameText(file.Name, name)) return &file;
  return nullptr;
}

}  // namespace norva
