// TfrmMain's rule evaluation: the user's rules run over each new message's header block and
// size, the check-list tests they use, and the requests (read, archive, reply, delete) that follow.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/CheckLists.h"
#include "app/Main.h"
#include "app/Rules.h"
#include "mail/msCls.h"
#include "mail/msutils.h"

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
  if (needle.empty() || needle.size() > text.size()) return false;
  // Candidates are where the needle's first letter stands in either case; memchr finds them
  // far faster than comparing byte by byte, and each case's next place is kept until passed.
  const char lower = LowerAscii(needle[0]);
  const char upper = lower >= 'a' && lower <= 'z' ? char(lower - 'a' + 'A') : lower;
  const char* const begin = text.data();
  const char* const last = begin + (text.size() - needle.size());  // the last possible start
  const auto next = [&](const char* from, char c) {
    const void* found = std::memchr(from, c, size_t(last - from) + 1);
    return found ? static_cast<const char*>(found) : last + 1;
  };
  const char* nextLower = next(begin, lower);
  const char* nextUpper = upper == lower ? last + 1 : next(begin, upper);
  while (nextLower <= last || nextUpper <= last) {
    const bool lowerFirst = nextLower < nextUpper;
    const char* at = lowerFirst ? nextLower : nextUpper;
    if (std::equal(needle.begin() + 1, needle.end(), at + 1, SameLetters)) return true;
    if (lowerFirst)
      nextLower = next(at + 1, lower);
    else
      nextUpper = next(at + 1, upper);
  }
  return false;
}

std::string BareAddress(const std::string& value) {
  std::string address, name;
  SplitAddress(value, address, name);
  return address;
}

// What the filters read of one message: taken before the first rule runs (actions may let the
// user interface run), and only the facts that some rule reads.
class MessageFacts {
 public:
  MessageFacts(const TmsRemoteInfoItem& item, const std::vector<MailRule>& rules)
      : size(item.Size), headers_(item.Headers) {
    for (const MailRule& rule : rules) {
      switch (rule.FilterType) {
        case 0:
        case 1:
        case 14:
          From();
          break;
        case 2:
        case 16:
          Subject();
          break;
        case 3:
        case 15:
        case 17:
        case 22:
          To();
          break;
        case 4:
          MailFor(), To();
          break;
        case 5:
          ReplyTo(), To();
          break;
        case 6:
          ReplyTo(), From();
          break;
        case 7:
          To(), From();
          break;
        case 8:
          if (!rule.FilterParam.empty() && !GetFieldValue(headers_, rule.FilterParam).empty())
            present_.push_back(rule.FilterParam);
          break;
        case 9:
        case 21:
          Header();
          break;
        case 10:
          Mailer();
          break;
        case 11:
          Distribution();
          break;
        default:
          break;
      }
    }
  }

  const int32_t size;
  const std::string& From() { return Address(from_, "From"); }
  const std::string& To() { return Address(to_, "To"); }
  const std::string& MailFor() { return Address(mailFor_, "Mail-For"); }
  const std::string& ReplyTo() { return Address(replyTo_, "Reply-To"); }
  // The From address without everything up to and including its first "@" (all of it without).
  std::string_view FromDomain() {
    const std::string& from = From();
    const size_t at = from.find('@');
    return at == std::string::npos ? std::string_view(from) : std::string_view(from).substr(at + 1);
  }
  const std::string& Subject() { return Value(subject_, "Subject"); }
  const std::string& Mailer() { return Value(mailer_, "X-Mailer"); }
  const std::string& Distribution() { return Value(distribution_, "X-Distribution"); }
  // Every header line followed by CR LF.
  const std::string& Header() {
    if (!header_) {
      header_.emplace();
      size_t bytes = 0;
      for (const std::string& line : headers_) bytes += line.size() + 2;
      header_->reserve(bytes);
      for (const std::string& line : headers_) (*header_ += line) += "\r\n";
    }
    return *header_;
  }
  // Whether the block has a field of this name (a rule's parameter) with a non-empty value.
  bool HasField(const std::string& name) const {
    return std::find(present_.begin(), present_.end(), name) != present_.end();
  }

 private:
  const std::string& Value(std::optional<std::string>& fact, std::string_view field) {
    if (!fact) fact = GetFieldValue(headers_, field);
    return *fact;
  }
  const std::string& Address(std::optional<std::string>& fact, std::string_view field) {
    if (!fact) fact = BareAddress(GetFieldValue(headers_, field));
    return *fact;
  }
  const TmsHeaders& headers_;  // read by the constructor only
  std::optional<std::string> from_, to_, mailFor_, replyTo_, subject_, mailer_, distribution_,
      header_;
  std::vector<std::string> present_;
};

// Whether a rule's filter fires for the message (filter 13 is tested apart, after the others).
bool Fires(TfrmMain& main, const MailRule& rule, MessageFacts& f, const MessageListEntry& entry) {
  const std::string& p = rule.FilterParam;
  switch (rule.FilterType) {
    case 0:
      return SameText(f.From(), p);
    case 1:
      return SameText(f.FromDomain(), p);
    case 2:
      return ContainsText(f.Subject(), p);
    case 3:
      return ContainsText(f.To(), p);
    case 4:
      return !f.MailFor().empty() && !SameText(f.MailFor(), f.To());
    case 5:
      return !f.ReplyTo().empty() && SameText(f.ReplyTo(), f.To());
    case 6:
      return !f.ReplyTo().empty() && !SameText(f.ReplyTo(), f.From());
    case 7:
      return SameText(f.To(), f.From());
    case 8:
      return f.HasField(p);
    case 9:
      return ContainsText(f.Header(), p);
    case 10:
      return ContainsText(f.Mailer(), p);
    case 11:
      return ContainsText(f.Distribution(), p);
    case 12:
      return f.size > StrToInt(p);
    case 14:
      return main.IsInList(p, f.From());
    case 15:
      return main.IsInList(p, f.To());
    case 16:
      return main.IsStringInList(p, f.Subject());
    case 17:
      return f.To().empty();
    case 18:
      return f.size < StrToInt(p);
    case 19:
      return true;
    case 20:
      return main.IsHeaderInList(p, entry);
    case 21:
      return main.IsStringInList(p, f.Header());
    case 22:
      return !f.To().empty() && !main.IsInList(p, f.To());
    default:
      return false;
  }
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
  const TmsRemoteInfoItem* item = DirectoryEntry(entry);
  try {
    if (item) ApplyRules(*item, entry);
  } catch (const ESocketError&) {
    throw;  // the session cannot go on: the check of this mailbox ends
  } catch (const ETimedOutError&) {
    throw;
  } catch (const ECanceledError&) {
    throw;
  } catch (const EServerError&) {
    throw;
  } catch (const std::exception& e) {
    // One message's failure (a missing template, a rule parameter that is no number, an archive
    // that will not take it) ends its rules, not the check. Nothing is deleted that may not
    // have been kept as the rules asked.
    entry.DeleteRequested = false;
    entry.AppliedRules.push_back(std::string("----> Not done: ") + e.what());
    ++MessageFailures;
    PutStatusMessage("A rule could not finish: " + std::string(e.what()));
  }
  if (TListRow* row = RowOf(&entry)) row->ImageIndex = entry.Status;
}

void TfrmMain::ApplyRules(const TmsRemoteInfoItem& item, MessageListEntry& entry) {
  // A copy: actions may let the user interface run while they talk to the server.
  const std::vector<MailRule> rules = frmOptions.lsvRule;
  MessageFacts facts(item, rules);
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
    if (file.empty())
      throw Exception("The rule names no archive file. Give the archive file a name.");
    if (file[0] != '/') file = frmOptions.Folder() + "/" + file;
    ArchiveMsg(file, entry, false);
  }
  if (entry.DeleteRequested && !entry.DeletedOnServer) RequestDeletion(entry);
}

void TfrmMain::RequestDeletion(MessageListEntry& entry) {
  if (!entry.Client || !entry.Client->IsOpen()) return;
  entry.Client->Delete(entry.InfoIndex);
  // Counted as deleted only once the session's "QUIT" is acknowledged (CheckMailBox).
  if (entry.Client->GetReplyCode(entry.Client->LastReply) == 1) ruleDeletions_.push_back(&entry);
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

std::shared_ptr<const TCheckList> TfrmMain::CheckList(const std::string& listName) {
  const TNamedFile* list = FindNamed(frmOptions.lstCList, listName);
  if (!list) return nullptr;
  return CheckListFiles.Get(frmOptions.Folder() + "/CL" + std::to_string(list->FileNumber) +
                            ".txt");
}

bool TfrmMain::IsInList(const std::string& listName, const std::string& address) {
  const auto list = CheckList(listName);
  return list && list->HasAddress(address);
}

bool TfrmMain::IsStringInList(const std::string& listName, const std::string& text) {
  const auto list = CheckList(listName);
  return list && list->OccursIn(text);
}

bool TfrmMain::IsHeaderInList(const std::string& listName, const MessageListEntry& entry) {
  const TmsRemoteInfoItem* item = DirectoryEntry(entry);
  if (!item) return false;
  const auto list = CheckList(listName);
  if (!list) return false;
  for (const std::string& line : list->Lines())
    if (!GetFieldValue(item->Headers, line).empty()) return true;
  return false;
}

}  // namespace norva
