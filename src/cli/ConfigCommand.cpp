// norva-cli config: the configuration of a program folder, shown and changed through the
// preferences window's logic (load, change its lists as its pages do, save).
#include "cli/ConfigCommand.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <iostream>
#include <map>
#include <stdexcept>

#include "app/Rules.h"
#include "cli/CliText.h"
#include "config/ListsPage.h"
#include "config/Options.h"
#include "mail/msutils.h"
#include "store/FileIO.h"
#include "store/FolderLock.h"
#include "store/Streams.h"

namespace norva::cli {
namespace {

const char kUsage[] =
    "usage: norva-cli config [--folder DIR] show\n"
    "       norva-cli config [--folder DIR] add-account --address A --user U\n"
    "           (--password P | --password-stdin) --pop3 HOST[:PORT] [--smtp HOST]\n"
    "           [--timeout SECONDS] [--default] [--security none|ssl|starttls]\n"
    "           [--smtp-security none|ssl|starttls] [--smtp-auth] [--smtp-user U]\n"
    "           [--smtp-password P | --smtp-password-stdin] [--pipelining on|off]\n"
    "           [--allow-plain-password] [--token-command CMD]\n"
    "       norva-cli config [--folder DIR] remove-account N\n"
    "       norva-cli config [--folder DIR] trust-cert N (--pop3 | --smtp) FINGERPRINT\n"
    "       norva-cli config [--folder DIR] add-rule FILTER PARAM ACTION PARAM\n"
    "       norva-cli config [--folder DIR] remove-rule N\n"
    "       norva-cli config [--folder DIR] add-checklist NAME\n"
    "       norva-cli config [--folder DIR] remove-checklist NAME\n"
    "       norva-cli config [--folder DIR] add-checklist-line NAME LINE\n"
    "       norva-cli config [--folder DIR] remove-checklist-line NAME LINE\n"
    "       norva-cli config [--folder DIR] add-template NAME FILE\n"
    "       norva-cli config [--folder DIR] remove-template NAME\n"
    "       norva-cli config [--folder DIR] set-user-name NAME\n";

// Bad arguments: reported with the usage and exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Strings read back cut at 255 bytes; a longer one is refused rather than silently cut.
void RequireStorable(const std::string& what, const std::string& text) {
  if (text.size() > 255) throw UsageError(what + " is longer than 255 bytes");
}

int32_t ToInt(const std::string& text, const std::string& what, int64_t low, int64_t high) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [last, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || last != end || value < low || value > high)
    throw UsageError(what + " must be a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not '" + text + "'");
  return int32_t(value);
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// The "--name value" and "--switch" arguments of a verb.
std::map<std::string, std::string> Flags(const std::vector<std::string>& args,
                                         std::initializer_list<std::string> valued,
                                         std::initializer_list<std::string> switches) {
  std::map<std::string, std::string> flags;
  auto in = [](const std::string& a, std::initializer_list<std::string> list) {
    return std::find(list.begin(), list.end(), a) != list.end();
  };
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (flags.count(a)) throw UsageError(a + " is given twice");
    if (in(a, valued)) {
      if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
      flags[a] = args[++i];
    } else if (in(a, switches)) {
      flags[a];
    } else {
      throw UsageError("unexpected argument '" + a + "'");
    }
  }
  return flags;
}

void Positional(const std::vector<std::string>& args, size_t count) {
  if (args.size() != count + 1)
    throw UsageError(args[0] + " takes " + std::to_string(count) + " argument(s)");
}

std::string CheckListFile(const TfrmOptions& o, const TNamedFile& list) {
  return o.Folder() + "/CL" + std::to_string(list.FileNumber) + ".txt";
}

TNamedFile& FindCheckList(TfrmOptions& o, const std::string& name) {
  for (TNamedFile& list : o.lstCList)
    if (list.Name == name) return list;
  throw std::runtime_error("no check list named '" + name + "'");
}

TStringList ReadLines(const std::string& path) {
  TMemoryStream file;
  try {
    file.LoadFromFile(path);
  } catch (const EStreamError& e) {
    if (e.Errno == ENOENT) return {};  // added but never written
    throw;
  }
  return SplitLines(file.Bytes());
}

// Lines end in CR LF. The file is written beside the old one and renamed over it, so a failure
// leaves the old list whole.
void WriteLines(const std::string& path, const TStringList& lines) {
  std::string bytes;
  for (const std::string& line : lines) (bytes += line) += "\r\n";
  if (const std::string error = ReplaceFile(path, bytes); !error.empty())
    throw std::runtime_error(error);
}

// Seen lists are stored by mailbox index and saving the mailboxes leaves them where they were,
// so after an insertion or removal at index `from` every mailbox from there on gets its own
// list written again; otherwise it would take over the list of the mailbox that stood there.
void StoreSeenIds(TfrmOptions& o, size_t from) {
  TQDB& db = o.QDB1;
  db.SetFileName(o.ConfigFileName());
  try {
    for (size_t n = from; n < o.lsvAddress.size(); ++n) {
      const std::vector<std::string>& ids = o.lsvAddress[n]->SeenIds;
      for (size_t m = 0; m < ids.size(); ++m)
        db.SetAdminString("Address/UIDL-" + std::to_string(n) + "-" + std::to_string(m), ids[m]);
      db.SetAdminInteger("Address/UIDC-" + std::to_string(n), int32_t(ids.size()));
    }
    db.SetFileName("");
  } catch (...) {
    db.SetSaveOnClose(false);  // leave the file as Save wrote it
    try {
      db.SetFileName("");
    } catch (...) {
    }
    db.SetSaveOnClose(true);
    throw;
  }
}

// A rule parameter checked as the rule editor would offer it: none, typed text (a number where
// the rule compares numbers) or the name of an existing check list or template.
std::string RuleParam(const std::string& text, TRuleParamKind kind, bool numeric,
                      const std::vector<TNamedFile>& names, const std::string& what) {
  if (kind == pkNone) {
    if (!text.empty()) throw UsageError(what + " takes no parameter: give \"\"");
    return text;
  }
  if (kind == pkNamed) {
    for (const TNamedFile& named : names)
      if (named.Name == text) return text;
    throw UsageError(what + " names no existing one: '" + text + "'");
  }
  if (text.empty()) throw UsageError(what + " needs a parameter");
  if (numeric) ToInt(text, what + "'s parameter", INT32_MIN, INT32_MAX);
  RequireStorable(what + "'s parameter", text);
  return text;
}

std::string RuleText(const MailRule& r) {
  return std::string(FilterCaption(r.FilterType)) + r.FilterParam + " -> " +
         std::string(ActionCaption(r.ActionType)) + r.ActionParam;
}

const char* const kSecurityOptions[3] = {"none", "ssl", "starttls"};

void Show(TfrmOptions& o, std::ostream& out) {
  out << "folder " << Printable(o.Folder()) << "\nuser name: " << Printable(o.edtUserName)
      << "\nmailboxes: " << o.lsvAddress.size() << "\n";
  for (size_t i = 0; i < o.lsvAddress.size(); ++i) {
    const MailboxAccount& a = *o.lsvAddress[i];
    out << "  " << i << "  " << Printable(a.Address) << "  user " << Printable(a.Account)
        << "  password " << (a.Password.empty() ? "(none)" : "***") << "  pop3 "
        << Printable(a.POP3Server) << " " << kSecurityOptions[a.Security] << "  smtp "
        << (a.SMTPServer.empty() ? "(none)" : Printable(a.SMTPServer)) << " "
        << kSecurityOptions[a.SMTPSecurity];
    if (a.SMTPAuth)
      out << "  smtp login " << (a.SMTPUser.empty() ? "(the POP3 user)" : Printable(a.SMTPUser))
          << " password " << (a.SMTPPassword.empty() ? "(the POP3 one)" : "***");
    out << "  timeout " << a.TimeOut << (a.Pipelining ? "" : "  no pipelining")
        << (a.PlainPassword == kPlainRefused ? "" : "  password unencrypted allowed")
        << (a.TokenCommand.empty() ? "" : "  token command " + Printable(a.TokenCommand))
        << (a.IsDefault ? "  default" : "") << "\n";
    if (!a.POP3Certificate.empty()) out << "     pop3 certificate " << a.POP3Certificate << "\n";
    if (!a.SMTPCertificate.empty()) out << "     smtp certificate " << a.SMTPCertificate << "\n";
  }
  out << "rules: " << o.lsvRule.size() << "\n";
  for (size_t i = 0; i < o.lsvRule.size(); ++i)
    out << "  " << i << "  [" << int(o.lsvRule[i].FilterType) << " " << int(o.lsvRule[i].ActionType)
        << "]  " << Printable(RuleText(o.lsvRule[i])) << "\n";
  out << "check lists: " << o.lstCList.size() << "\n";
  for (const TNamedFile& list : o.lstCList) {
    out << "  " << Printable(list.Name) << "  (CL" << list.FileNumber << ".txt)\n";
    for (const std::string& line : ReadLines(CheckListFile(o, list)))
      out << "    " << Printable(line) << "\n";
  }
  out << "templates: " << o.lstTemplate.size() << "\n";
  for (const TNamedFile& named : o.lstTemplate) {
    out << "  " << Printable(named.Name) << "  (FN" << named.FileNumber << ".txt)\n";
    for (const std::string& line : ReadLines(TemplateFileName(o.Folder(), named.FileNumber)))
      out << "    " << Printable(line) << "\n";
  }
}

// "none", "ssl" or "starttls" as the account's security value.
int32_t SecurityOf(const std::string& value, const std::string& option) {
  if (value == "none") return 0;
  if (value == "ssl") return 1;
  if (value == "starttls") return 2;
  throw UsageError(option + " takes none, ssl or starttls");
}

void AddAccount(TfrmOptions& o, const std::vector<std::string>& args, std::istream& in,
                std::ostream& out) {
  auto f = Flags(args,
                 {"--address", "--user", "--password", "--pop3", "--smtp", "--timeout",
                  "--security", "--smtp-security", "--smtp-user", "--smtp-password", "--pipelining",
                  "--token-command"},
                 {"--password-stdin", "--default", "--smtp-auth", "--smtp-password-stdin",
                  "--allow-plain-password"});
  for (const char* required : {"--address", "--user", "--pop3"})
    if (!f.count(required)) throw UsageError(std::string(required) + " is required");
  if (f.count("--password") && f.count("--password-stdin"))
    throw UsageError("give either --password or --password-stdin");
  if (!f.count("--password") && !f.count("--password-stdin") && !f.count("--token-command"))
    throw UsageError("give --password, --password-stdin or --token-command");
  if (f.count("--password-stdin")) {
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    f["--password"] = line;
  }
  if (f.count("--smtp-password") && f.count("--smtp-password-stdin"))
    throw UsageError("give --smtp-password or --smtp-password-stdin, not both");
  if (f.count("--smtp-password-stdin")) {
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    f["--smtp-password"] = line;
  }
  const std::string& pop3 = f["--pop3"];
  const size_t colon = pop3.find(':');
  if (pop3.empty() || colon == 0) throw UsageError("--pop3 needs a host name");
  if (colon != std::string::npos) ToInt(pop3.substr(colon + 1), "the POP3 port", 1, 65535);
  const int32_t timeout = f.count("--timeout") ? ToInt(f["--timeout"], "--timeout", 1, 86400) : 60;
  if (f.count("--pipelining") && f["--pipelining"] != "on" && f["--pipelining"] != "off")
    throw UsageError("--pipelining takes on or off");
  for (const char* key :
       {"--address", "--user", "--password", "--pop3", "--smtp", "--smtp-user", "--smtp-password",
        "--token-command"})
    RequireStorable(key, f[key]);

  auto a = std::make_unique<MailboxAccount>();
  a->Address = f["--address"];
  a->Account = f["--user"];
  a->Password = f["--password"];
  a->POP3Server = pop3;
  a->SMTPServer = f["--smtp"];
  a->TimeOut = timeout;
  a->Security = f.count("--security") ? SecurityOf(f["--security"], "--security") : 0;
  a->SMTPSecurity =
      f.count("--smtp-security") ? SecurityOf(f["--smtp-security"], "--smtp-security") : 0;
  a->SMTPAuth = f.count("--smtp-auth") > 0;
  a->SMTPUser = f["--smtp-user"];
  a->SMTPPassword = f["--smtp-password"];
  a->Pipelining = !f.count("--pipelining") || f["--pipelining"] == "on";
  a->PlainPassword = f.count("--allow-plain-password") ? kPlainAllowed : kPlainRefused;
  a->TokenCommand = f["--token-command"];
  // A new mailbox takes the schedule the mailbox page shows.
  a->CheckOnStartup = o.chkCheckOnStartup;
  a->CheckManually = o.radCheckManual;
  a->CheckFreqUnit = o.cmbFreq.ItemIndex;
  a->CheckFreq = o.tbaFreq;
  if (f.count("--default")) {
    for (auto& other : o.lsvAddress) other->IsDefault = false;
    a->IsDefault = true;
  }
  o.lsvAddress.push_back(std::move(a));
  o.Save();
  StoreSeenIds(o, o.lsvAddress.size() - 1);
  out << "mailbox " << o.lsvAddress.size() - 1 << " added\n";
}

// The folder as it is shown and stored: absolute, without a trailing "/".
std::string AbsoluteFolder(const std::string& folder) {
  std::string path = std::filesystem::absolute(folder).lexically_normal().string();
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

size_t Index(const std::vector<std::string>& args, size_t count, const char* what) {
  Positional(args, 1);
  if (count == 0) throw std::runtime_error(std::string("there is no ") + what);
  return size_t(ToInt(args[1], what, 0, int64_t(count) - 1));
}

// A SHA-256 fingerprint as the transport prints it: 32 upper-case hex bytes joined by ':'. Case
// and the colons are the user's choice; "" stands for none.
std::string Fingerprint(const std::string& text) {
  std::string hex;
  for (char c : text)
    if (c != ':') hex += char(std::toupper(static_cast<unsigned char>(c)));
  if (text.empty()) return "";
  if (hex.size() != 64 || hex.find_first_not_of("0123456789ABCDEF") != std::string::npos)
    throw UsageError("FINGERPRINT must be a SHA-256 fingerprint (64 hex digits), not '" + text +
                     "'");
  std::string spelled;
  for (size_t i = 0; i < hex.size(); i += 2) spelled += (i ? ":" : "") + hex.substr(i, 2);
  return spelled;
}

void TrustCert(TfrmOptions& o, const std::vector<std::string>& args, std::ostream& out) {
  if (args.size() != 4 || (args[2] != "--pop3" && args[2] != "--smtp"))
    throw UsageError("trust-cert takes N, --pop3 or --smtp, and FINGERPRINT");
  const size_t n = Index({args[0], args[1]}, o.lsvAddress.size(), "mailbox");
  const bool smtp = args[2] == "--smtp";
  MailboxAccount& a = *o.lsvAddress[n];
  (smtp ? a.SMTPCertificate : a.POP3Certificate) = Fingerprint(args[3]);
  o.SaveCertificate(a, smtp);
  const std::string& stored = smtp ? a.SMTPCertificate : a.POP3Certificate;
  out << "mailbox " << n << ": " << (smtp ? "smtp" : "pop3") << " certificate "
      << (stored.empty() ? "(none: verified as usual)" : stored) << "\n";
}

void AddRule(TfrmOptions& o, const std::vector<std::string>& args, std::ostream& out) {
  Positional(args, 4);
  const int32_t filter = ToInt(args[1], "FILTER", 0, kFilterTypeCount - 1);
  const int32_t action = ToInt(args[3], "ACTION", 0, kActionTypeCount - 1);
  const bool numericFilter = filter == 12 || filter == 13 || filter == 18;
  MailRule rule{uint8_t(filter),
                RuleParam(args[2], kFilterParamKinds[size_t(filter)], numericFilter, o.lstCList,
                          "filter " + args[1]),
                uint8_t(action),
                RuleParam(args[4], kActionParamKinds[size_t(action)], action == 4, o.lstTemplate,
                          "action " + args[3])};
  // What the rule editor refuses is refused here too (a percentage out of range, ...).
  if (const std::string error = RuleError(rule); !error.empty()) throw UsageError(error);
  o.lsvRule.push_back(rule);
  o.Save();
  out << "rule " << o.lsvRule.size() - 1 << ": " << Printable(RuleText(rule)) << "\n";
}

void AddCheckList(TfrmOptions& o, const std::vector<std::string>& args, std::ostream& out) {
  Positional(args, 1);
  const std::string& name = args[1];
  if (name.empty()) throw UsageError("a check list needs a name");
  RequireStorable("the name", name);
  std::string error;
  if (!norva::AddCheckList(o, name, error)) throw std::runtime_error(error);
  o.Save();
  out << "check list '" << Printable(name) << "' added: CL" << o.lstCList.back().FileNumber
      << ".txt\n";
}

void RemoveCheckList(TfrmOptions& o, const std::vector<std::string>& args, std::ostream& out,
                     std::ostream& err) {
  Positional(args, 1);
  const TNamedFile list = FindCheckList(o, args[1]);
  std::erase(o.lstCList, list);
  o.Save();
  const std::string path = CheckListFile(o, list);
  if (fileio::Unlink(path) != 0 && errno != ENOENT)
    err << "norva-cli: cannot delete " << path << ": " << std::strerror(errno) << "\n";
  for (size_t i = 0; i < o.lsvRule.size(); ++i)
    if (kFilterParamKinds[o.lsvRule[i].FilterType] == pkNamed &&
        SameText(o.lsvRule[i].FilterParam, list.Name))
      err << "norva-cli: warning: rule " << i << " still names this check list\n";
  out << "check list '" << Printable(list.Name) << "' removed\n";
}

void ChangeCheckListLine(TfrmOptions& o, const std::vector<std::string>& args, bool add,
                         std::ostream& out, std::ostream& err) {
  Positional(args, 2);
  const TNamedFile& list = FindCheckList(o, args[1]);
  const std::string& line = args[2];
  if (line.empty() || line.find_first_of("\r\n") != std::string::npos)
    throw UsageError("a check-list line is one non-empty line of text");
  const std::string path = CheckListFile(o, list);
  TStringList lines = ReadLines(path);
  const bool present = std::find(lines.begin(), lines.end(), line) != lines.end();
  if (add && present) {
    err << "norva-cli: the line is already in check list '" << Printable(list.Name) << "'\n";
    return;
  }
  if (!add && !present)
    throw std::runtime_error("check list '" + list.Name + "' has no line '" + line + "'");
  if (add)
    lines.push_back(line);
  else
    std::erase(lines, line);
  WriteLines(path, lines);
  out << "check list '" << Printable(list.Name) << "': " << lines.size() << " line(s)\n";
}

// The templates page, its boxes answered from the command line: the name asked for is `name`,
// every confirmation is yes, and the last error it shows lands in `error`.
TListsPage TemplatesPage(TfrmOptions& o, const std::string& name, std::string& error) {
  ListsPageUi ui;
  ui.Confirm = [](const std::string&, const std::string&) { return true; };
  ui.InputQuery = [name](const std::string&, const std::string&, std::string& answer) {
    answer = name;
    return true;
  };
  ui.ShowError = [&error](const std::string& text) { error = text; };
  return TListsPage(o, std::move(ui));
}

void AddTemplate(TfrmOptions& o, const std::vector<std::string>& args, std::ostream& out) {
  Positional(args, 2);
  const std::string& name = args[1];
  if (name.empty()) throw UsageError("a template needs a name");
  TMemoryStream file;
  try {
    file.LoadFromFile(args[2]);
  } catch (const EStreamError& e) {
    throw std::runtime_error(std::string("cannot read the template text: ") + e.what());
  }
  std::string error;
  TListsPage page = TemplatesPage(o, name, error);
  if (!page.AddTemplate()) throw std::runtime_error(error);
  page.TemplateIndex = int32_t(o.lstTemplate.size() - 1);
  page.memTemplate = SplitLines(file.Bytes());
  if (!page.UpdateTemplate()) throw std::runtime_error(error);
  o.Save();
  out << "template '" << Printable(name) << "' added: FN" << o.lstTemplate.back().FileNumber
      << ".txt, " << page.memTemplate.size() << " line(s)\n";
}

void RemoveTemplate(TfrmOptions& o, const std::vector<std::string>& args, std::ostream& out,
                    std::ostream& err) {
  Positional(args, 1);
  const auto named = std::find_if(o.lstTemplate.begin(), o.lstTemplate.end(),
                                  [&](const TNamedFile& t) { return t.Name == args[1]; });
  if (named == o.lstTemplate.end()) throw std::runtime_error("no template named '" + args[1] + "'");
  std::string error;
  TListsPage page = TemplatesPage(o, "", error);
  page.TemplateIndex = int32_t(named - o.lstTemplate.begin());
  // Refused while a rule names the template: that rule would reply with nothing.
  if (!page.DeleteTemplate()) throw std::runtime_error(error);
  o.Save();
  if (!error.empty()) err << "norva-cli: " << Printable(error) << "\n";  // its file stayed
  out << "template '" << Printable(args[1]) << "' removed\n";
}

}  // namespace

std::string ConfigHelp() {
  std::string text =
      "config: the configuration in Config.QDB of the program folder (--folder DIR, else the\n"
      "program's own folder).\n";
  text += kUsage;
  text +=
      "  show lists the mailboxes (passwords as ***), the rules and the check lists with\n"
      "  their lines, and the reply templates with their text. Mailboxes and rules are\n"
      "  numbered from 0 in check order. Check lists are named exactly; each keeps its lines\n"
      "  in CL<n>.txt; lines are added and removed by their exact text (empty ones and lines\n"
      "  starting with ';' take no part in tests). add-template stores the text of FILE as a\n"
      "  reply template in FN<n>.txt; a template that a rule names is not removed.\n"
      "  set-user-name sets the name sent with the address in From (\"\" for none).\n"
      "  trust-cert accepts the certificate with this SHA-256 fingerprint (as a failed check\n"
      "  or send prints it) for mailbox N's POP3 or SMTP server even though it cannot be\n"
      "  verified; \"\" goes back to verifying as usual.\n"
      "  A rule is a filter code and an action code, each with its parameter: \"\" when it\n"
      "  takes none (-), a text (T, a number where it compares numbers) or the name of a\n"
      "  check list or template (L). Filter 23 compares the spam probability that the\n"
      "  learner (norva-cli learn, and marks in the desktop program) gives a message with\n"
      "  a percentage from 0 to 100, such as 90 or 90%. Errors go to standard error with\n"
      "  exit status 1, or 2 for bad arguments.\n"
      "  filters:\n";
  const char kinds[] = "-TL";
  auto line = [&](size_t code, TRuleParamKind kind, std::string caption) {
    while (caption.back() == ' ') caption.pop_back();
    text += "    " + std::to_string(code) + (code < 10 ? "   " : "  ") + kinds[kind] + "  " +
            caption + "\n";
  };
  for (size_t i = 0; i < kFilterCaptions.size(); ++i)
    line(i, kFilterParamKinds[i], kFilterCaptions[i]);
  text += "  actions:\n";
  for (size_t i = 0; i < kActionCaptions.size(); ++i)
    line(i, kActionParamKinds[i], kActionCaptions[i]);
  return text;
}

int ConfigCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                  std::ostream& err) {
  std::vector<std::string> rest = args;
  std::string folder;
  if (rest.size() >= 2 && rest[0] == "--folder") {
    folder = rest[1];
    rest.erase(rest.begin(), rest.begin() + 2);
  }
  try {
    if (rest.empty()) throw UsageError("no verb given");
    folder = folder.empty() ? ProgramFolder() : AbsoluteFolder(folder);
    if (!std::filesystem::is_directory(folder)) throw std::runtime_error("no folder " + folder);
    TfrmOptions o(folder);
    const std::string& verb = rest[0];
    if (verb == "show") {
      Positional(rest, 0);
      const auto work = fileio::TryWorkingFolder(folder);  // the store's copy stays in its folder
      // Looking must not create a store: a folder without one shows the defaults.
      if (std::filesystem::exists(o.ConfigFileName())) o.Load();
      Show(o, out);
      return 0;
    }
    const FolderLock lock(folder, "norva-cli config " + verb, LockWaitSeconds());
    o.Load();
    if (verb == "add-account") {
      AddAccount(o, rest, in, out);
    } else if (verb == "remove-account") {
      const size_t n = Index(rest, o.lsvAddress.size(), "mailbox");
      const std::string address = o.lsvAddress[n]->Address;
      o.lsvAddress.erase(o.lsvAddress.begin() + ptrdiff_t(n));
      o.Save();
      StoreSeenIds(o, n);
      out << "mailbox " << n << " (" << Printable(address) << ") removed\n";
    } else if (verb == "trust-cert") {
      TrustCert(o, rest, out);
    } else if (verb == "add-rule") {
      AddRule(o, rest, out);
    } else if (verb == "remove-rule") {
      const size_t n = Index(rest, o.lsvRule.size(), "rule");
      const std::string text = RuleText(o.lsvRule[n]);
      o.lsvRule.erase(o.lsvRule.begin() + ptrdiff_t(n));
      o.Save();
      out << "rule " << n << " removed: " << Printable(text) << "\n";
    } else if (verb == "add-checklist") {
      AddCheckList(o, rest, out);
    } else if (verb == "remove-checklist") {
      RemoveCheckList(o, rest, out, err);
    } else if (verb == "add-checklist-line" || verb == "remove-checklist-line") {
      ChangeCheckListLine(o, rest, verb == "add-checklist-line", out, err);
    } else if (verb == "add-template") {
      AddTemplate(o, rest, out);
    } else if (verb == "remove-template") {
      RemoveTemplate(o, rest, out, err);
    } else if (verb == "set-user-name") {
      Positional(rest, 1);
      RequireStorable("the user name", rest[1]);
      o.edtUserName = rest[1];
      o.Save();
      out << "user name: " << Printable(o.edtUserName) << "\n";
    } else {
      throw UsageError("unknown verb '" + verb + "'");
    }
    for (const std::string& warning : o.SaveWarnings) err << Printable(warning) << "\n";
    return 0;
  } catch (const UsageError& e) {
    err << "norva-cli config: " << Printable(e.what()) << "\n" << kUsage;
    return 2;
  } catch (const std::exception& e) {
    err << "norva-cli config: " << Printable(e.what()) << "\n";
    return 1;
  }
}

}  // namespace norva::cli
