// TfrmMain's rule evaluation: the user's rules run over each new message's header block and
// size, the check-list tests they use, and the requests (read, archive, reply, delete) that follow.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "app/Main.h"
#include "app/Rules.h"
#include "mail/msCls.h"
#include "mail/msutils.h"
#include "store/Streams.h"

namespace norva {

namespace {

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool SameLetters(char a, char b) {
  return LowerAscii(a) == LowerAscii(b);
}

// Whether needle occurs in text, without regard to case. An empty needle never does: a rule whose
// text was left empty must match nothing rather than every message.
bool ContainsText(std::string_view text, std::string_view needle) {
  if (needle.empty()) return false;
  return std::search(text.begin(), text.end(), needle.begin(), needle.end(), SameLetters) !=
         text.end();
}

// The address without everything up to and including its first "@" (all of it without one).
std::string DomainOf(const std::string& address) {
  const size_t at = address.find('@');
  return at == std::string::npos ? address : address.substr(at + 1);
}

std::string BareAddress(const std::string& value) {
  std::string address, name;
  SplitAddress(value, address, name);
  return address;
}

// What the filters read of one message, taken once per evaluation.
struct MessageFacts {
  std::string from, fromDomain, to, mailFor, replyTo;
  std::string subject, mailer, distribution;
  std::string header;  // every header line followed by CR LF
  TmsHeaders headers;
  int32_t size = 0;
};

MessageFacts ReadFacts(const TmsRemoteInfoItem& item) {
  const TmsHeaders& h = item.Headers;
  MessageFacts f;
  f.from = BareAddress(GetFieldValue(h, "From"));
  f.fromDomain = DomainOf(f.from);
  f.to = BareAddress(GetFieldValue(h, "To"));
  f.mailFor = BareAddress(GetFieldValue(h, "Mail-For"));
  f.replyTo = BareAddress(GetFieldValue(h, "Reply-To"));
  f.subject = GetFieldValue(h, "Subject");
  f.mailer = GetFieldValue(h, "X-Mailer");
  f.distribution = GetFieldValue(h, "X-Distribution");
  for (const std::string& line : h) (f.header += line) += "\r\n";
  f.headers = h;
  f.size = item.Size;
  return f;
}

// Whether a rule's filter fires for the message (filter 13 is tested apart, after the others).
bool Fires(TfrmMain& main, const MailRule& rule, const MessageFacts& f,
           const MessageListEntry& entry) {
  const std::string& p = rule.FilterParam;
  switch (rule.FilterType) {
    case 0:
      return SameText(f.from, p);
    case 1:
      return SameText(f.fromDomain, p);
    case 2:
      return ContainsText(f.subject, p);
    case 3:
      return ContainsText(f.to, p);
    case 4:
      return !f.mailFor.empty() && !SameText(f.mailFor, f.to);
    case 5:
      return !f.replyTo.empty() && SameText(f.replyTo, f.to);
    case 6:
      return !f.replyTo.empty() && !SameText(f.replyTo, f.from);
    case 7:
      return SameText(f.to, f.from);
    case 8:
      return !p.empty() && !GetFieldValue(f.headers, p).empty();
    case 9:
      return ContainsText(f.header, p);
    case 10:
      return ContainsText(f.mailer, p);
    case 11:
      return ContainsText(f.distribution, p);
    case 12:
      return f.size > StrToInt(p);
    case 14:
      return main.IsInList(p, f.from);
    case 15:
      return main.IsInList(p, f.to);
    case 16:
      return main.IsStringInList(p, f.subject);
    case 17:
      return f.to.empty();
    case 18:
      return f.size < StrToInt(p);
    case 19:
      return true;
    case 20:
      return main.IsHeaderInList(p, entry);
    case 21:
      return main.IsStringInList(p, f.header);
    case 22:
      return !f.to.empty() && !main.IsInList(p, f.to);
    default:
      return false;
  }
}

// The lines of the named check list that take part in its tests: read afresh from its file,
// without the empty lines and the ";" comments, otherwise as they stand. No list of that name,
// or a list whose file was never written, gives none; a file that cannot be read raises.
TStringList CheckListLines(const TfrmOptions& options, const std::string& listName) {
  const TNamedFile* list = FindNamed(options.lstCList, listName);
  if (!list) return {};
  TMemoryStream file;
  try {
    file.LoadFromFile(options.Folder() + "/CL" + std::to_string(list->FileNumber) + ".txt");
  } catch (const EStreamError& e) {
    if (e.Errno == ENOENT) return {};
    throw;
  }
  TStringList lines;
  for (std::string& line : SplitLines(file.Bytes()))
    if (!line.empty() && line[0] != ';') lines.push_back(std::move(line));
  return lines;
}

}  // namespace

void SplitAddress(std::string_view text, std::string& address, std::string& name) {
  const auto opens = [](char c) { return c == ' ' || c == '<' || c == '"' || c == '\''; };
  const auto closes = [](char c) { return c == ' ' || c == '>' || c == '"' || c == '\''; };
  const size_t at = text.find('@');
  size_t end = at == std::string_view::npos ? 0 : at;
  while (end < text.size() && !closes(text[end])) ++end;
  if (at == std::string_view::npos) {
    address = text.substr(0, end + 1);  // the closing character is kept, then trimmed away
    name = text;
  } else {
    size_t start = at;
    while (start > 0 && !opens(text[start - 1])) --start;
    address = text.substr(start, end - start);
    name = std::string(text.substr(0, start)) += text.substr(end);
  }
  if (size_t pair = name.find("<>"); pair != std::string::npos) name.erase(pair, 2);
  address = Trim(address);
  name = Trim(name);
}

void TfrmMain::SpamCheckMsg(MessageListEntry& entry) {
  entry.SpamPound = 0;
  entry.HasPoundRule = entry.MarkSpam = entry.MarkSafe = entry.Urgent = false;
  entry.DeleteRequested = entry.ArchiveRequested = entry.ReplyRequested = false;
  entry.ArchiveFile.clear();
  entry.ReplyTemplate.clear();
  entry.Status = 1;
  entry.AppliedRules.clear();

  // Without the row's own directory entry there is nothing to judge; a rule must never act on
  // whatever message now stands at that position.
  if (const TmsRemoteInfoItem* item = DirectoryEntry(entry)) {
    const MessageFacts facts = ReadFacts(*item);
    // A copy: actions may let the user interface run while they talk to the server.
    const std::vector<MailRule> rules = frmOptions.lsvRule;
    for (const MailRule& rule : rules) {
      if (rule.FilterType == 13)
        entry.HasPoundRule = true;
      else if (Fires(*this, rule, facts, entry))
        DoAction(rule, entry);
    }
    // The score is compared once every rule of the first pass has added to it.
    if (entry.HasPoundRule)
      for (const MailRule& rule : rules)
        if (rule.FilterType == 13 && StrToInt(rule.FilterParam) < entry.SpamPound)
          DoAction(rule, entry);

    if (entry.MarkSafe)
      entry.Status = 2;
    else if (entry.MarkSpam)
      entry.Status = 0;

    if (entry.ReplyRequested) ArchiveReplyMsg(frmOptions.Folder() + "/$OutBox.TMA", entry, false);
    if (entry.ArchiveRequested) {
      // A rule names its archive by file name; archives live in the program's folder.
      std::string file = entry.ArchiveFile;
      if (!file.empty() && file[0] != '/') file = frmOptions.Folder() + "/" + file;
      ArchiveMsg(file, entry, false);
    }
    if (entry.DeleteRequested && !entry.DeletedOnServer && entry.Client) {
      entry.Client->Delete(entry.InfoIndex);
      entry.DeletedOnServer = true;
      for (TListRow& row : lsvMail)
        if (row.Data.get() == &entry) row.StateIndex = 3;
    }
  }
  for (TListRow& row : lsvMail)
    if (row.Data.get() == &entry) row.ImageIndex = entry.Status;
}

void TfrmMain::DoAction(const MailRule& rule, MessageListEntry& entry) {
  entry.AppliedRules.push_back("Rule: " + std::string(FilterCaption(rule.FilterType)) +
                               rule.FilterParam);
  entry.AppliedRules.push_back("----> " + std::string(ActionCaption(rule.ActionType)) +
                               rule.ActionParam);
  switch (rule.ActionType) {
    case 0:
      entry.MarkSpam = entry.DeleteRequested = true;
      break;
    case 1:
      entry.MarkSpam = true;
      break;
    case 2:
      entry.MarkSafe = true;
      break;
    case 3:
      entry.Urgent = true;
      break;
    case 4: {
      // Held within 32 bits however many rules add to it.
      const int64_t sum = int64_t(entry.SpamPound) + StrToInt(rule.ActionParam);
      entry.SpamPound = int32_t(std::clamp<int64_t>(sum, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
      break;
    }
    case 5:
      entry.ArchiveRequested = true;
      entry.ArchiveFile = rule.ActionParam;
      break;
    case 6:
      entry.ReplyRequested = true;
      entry.ReplyTemplate = rule.ActionParam;
      break;
    case 7:
      if (!entry.BodyRetrieved) LeggiMsg(entry, false);
      break;
    default:
      break;
  }
}

bool TfrmMain::IsInList(const std::string& listName, const std::string& address) {
  const std::string domain = DomainOf(address);
  for (const std::string& line : CheckListLines(frmOptions, listName))
    if (SameText(line, line.find('@') == std::string::npos ? domain : address)) return true;
  return false;
}

bool TfrmMain::IsStringInList(const std::string& listName, const std::string& text) {
  for (const std::string& line : CheckListLines(frmOptions, listName))
    if (ContainsText(text, line)) return true;
  return false;
}

bool TfrmMain::IsHeaderInList(const std::string& listName, const MessageListEntry& entry) {
  const TmsRemoteInfoItem* item = DirectoryEntry(entry);
  if (!item) return false;
  for (const std::string& line : CheckListLines(frmOptions, listName))
    if (!GetFieldValue(item->Headers, line).empty()) return true;
  return false;
}

}  // namespace norva
