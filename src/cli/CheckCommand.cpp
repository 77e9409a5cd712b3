// norva-cli check: the main window's check cycle on a headless desktop, its status messages on
// standard error and the resulting message list on standard output.
#include "cli/CheckCommand.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "app/Main.h"
#include "cli/CliText.h"
#include "cli/HeadlessMain.h"

namespace norva::cli {

const char kCheckHelp[] =
    "check: checks the mailboxes of the program folder (--folder DIR, else the program's own\n"
    "folder) as the main window does: all of them in order, or only mailbox N (numbered from 0\n"
    "as config show lists them). The rules classify every new message and each Message-ID is\n"
    "stored as seen. Status messages and message boxes go to standard error as they come; the\n"
    "message list goes to standard output as a table, or as JSON with --json. --delete-spam\n"
    "then deletes every spam message on the server and prints the list after that. The exit\n"
    "status is 1 when a mailbox could not be checked or a spam message could not be deleted\n"
    "(the list is printed all the same), 2 for bad arguments.\n"
    "Check JSON (one array, a row an object, in list order):\n"
    "  [{\"mailbox\": index of the mailbox, \"sender\": the From header, \"subject\",\n"
    "    \"date\": \"dd.mm.yy hh:nn\" as the list shows it, \"size\": bytes, \"sp\": spam score,\n"
    "    \"status\": 0|1|2 (spam, unknown, safe), \"urgent\": bool,\n"
    "    \"deleted\": bool (deleted on the server), \"new\": bool (not seen by an earlier check),\n"
    "    \"message_id\", \"applied_rules\": [lines of the rule log]}]\n"
    "  Texts are Unicode strings, as the list shows them (a byte that is not UTF-8 shows as\n"
    "  U+FFFD).\n";

namespace {

const char kUsage[] =
    "usage: norva-cli check [--folder DIR] [--mailbox N] [--delete-spam] [--json]\n";
const char* const kClasses[] = {"spam", "unknown", "safe"};

const std::string& Cell(const TListRow& row, size_t index) {
  static const std::string none;
  return index < row.SubItems.size() ? row.SubItems[index] : none;
}

int MailboxOf(const TfrmMain& main, const MessageListEntry& entry) {
  const auto& accounts = main.frmOptions.lsvAddress;
  for (size_t i = 0; i < accounts.size(); ++i)
    if (accounts[i]->Client.get() == entry.Client) return int(i);
  return -1;
}

void PrintJson(const TfrmMain& main, std::ostream& out) {
  nlohmann::ordered_json rows = nlohmann::ordered_json::array();
  for (const TListRow& row : main.lsvMail) {
    if (!row.Data) continue;
    const MessageListEntry& e = *row.Data;
    nlohmann::ordered_json rules = nlohmann::ordered_json::array();
    for (const std::string& line : e.AppliedRules) rules.push_back(ToJsonText(line));
    rows.push_back({{"mailbox", MailboxOf(main, e)},
                    {"sender", ToJsonText(row.Caption)},
                    {"subject", ToJsonText(Cell(row, 0))},
                    {"date", ToJsonText(Cell(row, 1))},
                    {"size", e.Size},
                    {"sp", e.SpamPound},
                    {"status", int(e.Status)},
                    {"urgent", e.Urgent},
                    {"deleted", e.DeletedOnServer},
                    {"headers_cut", e.HeadersCut},
                    {"new", e.Presence == 2},
                    {"message_id", ToJsonText(e.MessageId)},
                    {"applied_rules", rules}});
  }
  out << rows.dump(2) << "\n";
}

// Text cut or padded to width (at least 1) characters; a UTF-8 sequence counts as one and is
// never split. A cut text ends in "~".
std::string Column(const std::string& text, size_t width, bool right = false) {
  size_t characters = 0, cut = text.size();  // cut: where the width-th character begins
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (++characters == width) cut = i;
  }
  std::string cell;
  cell.reserve(std::max(width, text.size()) + 1);
  const size_t pad = width - std::min(width, characters);
  if (right) cell.append(pad, ' ');
  if (characters > width)
    cell.append(text, 0, cut).push_back('~');
  else
    cell += text;
  if (!right) cell.append(pad, ' ');
  return cell;
}

void PrintTable(const TfrmMain& main, std::ostream& out) {
  out << Column("SENDER", 28) << "  " << Column("SUBJECT", 36) << "  " << Column("DATE", 14) << "  "
      << Column("SIZE", 8, true) << "  " << Column("SP", 4, true) << "  CLASS    URGENT  DELETED\n";
  for (const TListRow& row : main.lsvMail) {
    if (!row.Data) continue;
    const MessageListEntry& e = *row.Data;
    out << Column(Printable(row.Caption), 28) << "  " << Column(Printable(Cell(row, 0)), 36) << "  "
        << Column(Printable(Cell(row, 1)), 14) << "  " << Column(std::to_string(e.Size), 8, true)
        << "  " << Column(std::to_string(e.SpamPound), 4, true) << "  "
        << Column(e.Status < 3 ? kClasses[e.Status] : "?", 7) << "  "
        << Column(e.Urgent ? "yes" : "no", 6) << "  " << (e.DeletedOnServer ? "yes" : "no")
        << (e.HeadersCut ? "  header block cut" : "") << "\n";
  }
}

}  // namespace

std::string UseConfiguredFolder(const std::string& option) {
  std::string folder = ProgramFolder();
  if (!option.empty()) {
    folder = std::filesystem::absolute(option).lexically_normal().string();
    if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  }
  SetProgramFolder(folder);
  if (!std::filesystem::exists(folder + "/Config.QDB"))
    throw std::runtime_error("no configuration in " + folder +
                             " (set one up with norva-cli config)");
  return folder;
}

int CheckCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string folder;
  int32_t mailbox = -1;
  bool deleteSpam = false, asJson = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool valued = a == "--folder" || a == "--mailbox";
    if (valued && i + 1 >= args.size()) {
      err << "norva-cli check: " << a << " needs a value\n" << kUsage;
      return 2;
    }
    if (a == "--folder") {
      folder = args[++i];
    } else if (a == "--mailbox") {
      const std::string& n = args[++i];
      const auto [last, error] = std::from_chars(n.data(), n.data() + n.size(), mailbox);
      if (n.empty() || error != std::errc() || last != n.data() + n.size() || mailbox < 0) {
        err << "norva-cli check: --mailbox takes a mailbox number from 0\n" << kUsage;
        return 2;
      }
    } else if (a == "--delete-spam") {
      deleteSpam = true;
    } else if (a == "--json") {
      asJson = true;
    } else {
      err << "norva-cli check: unexpected argument '" << Printable(a) << "'\n" << kUsage;
      return 2;
    }
  }
  try {
    folder = UseConfiguredFolder(folder);
    HeadlessMain session(folder, "norva-cli check", err);
    TfrmMain& main = session.main;
    const int32_t mailboxes = int32_t(session.options.lsvAddress.size());
    if (mailboxes == 0) throw std::runtime_error("no mailbox is configured in " + folder);
    if (mailbox >= mailboxes)
      throw std::runtime_error("there is no mailbox " + std::to_string(mailbox) + " (there are " +
                               std::to_string(mailboxes) + ")");

    // The check cycle tells of a mailbox it could not check only in the status bar.
    bool unsuccessful = false;
    session.OnStatus = [&](const std::string& text) {
      if (text.starts_with("Last connection attempt unsuccessful")) unsuccessful = true;
    };
    main.CheckMail(mailbox < 0, mailbox);
    bool failed = unsuccessful || main.SessionHadErrors || session.desktop.Errors > 0;
    if (deleteSpam) {
      // --delete-spam is the user's answer: the desktop program's question is not asked.
      session.options.chkNoDeleteConfirm = true;
      main.DeleteMsg(0);
      int left = 0;
      for (const TListRow& row : main.lsvMail)
        if (row.Data && row.Data->Status == 0 && !row.Data->DeletedOnServer) ++left;
      if (left > 0) {
        err << "norva-cli check: " << left << " spam message(s) were not deleted\n";
        failed = true;
      }
      failed = failed || session.desktop.Errors > 0;
    }
    if (asJson)
      PrintJson(main, out);
    else
      PrintTable(main, out);
    KeepUntilExit(std::move(main.lsvMail));
    for (const auto& account : session.options.lsvAddress)
      KeepUntilExit(std::move(account->Client->MessageInfo));
    return failed ? 1 : 0;
  } catch (const std::exception& e) {
    err << "norva-cli check: " << Printable(ErrorText(e)) << "\n";
    return 1;
  }
}

}  // namespace norva::cli
