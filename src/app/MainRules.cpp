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
#include "config/ListsPage.h"
#include "mail/msCls.h"
#include "mail/mscharset.h"
#include "mail/msutils.h"

namespace norva {

namespace {

// Whether a lower-case needle occurs in lower-case text. An empty needle never does: a rule whose
// text was left empty must match nothing rather than every message.
bool Holds(std::string_view text, std::string_view needle) {
  return !needle.empty() && text.find(needle) != std::string_view::npos;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
           return lower(a) == lower(b);
         });
}

// Lower case in every script; plain ASCII, by far the most text, without the UTF-8 walk.
std::string Lowered(std::string_view text) {
  if (!IsAscii(text)) return Utf8Lower(text);
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  return out;
}

bool NeedsDecoding(std::string_view text) {
  return text.find("=?") != std::string_view::npos || !IsAscii(text);
}

// The value of the first field called name as it stands in the header, unfolded and trimmed:
// neither decoded nor cut.
std::string RawValue(const TmsHeaders& headers, std::string_view name) {
  const std::string field = std::string(name) + ":";
  for (size_t i = 0; i < headers.size(); ++i) {
    if (!StartsWithNoCase(headers[i], field)) continue;
    std::string value = Trim(std::string_view(headers[i]).substr(field.size()));
    for (size_t k = i + 1; k < headers.size(); ++k) {
      const std::string_view next = headers[k];
      if (next.empty() || (next[0] != ' ' && next[0] != '\t')) break;
      (value += ' ') += Trim(next);
    }
    return value;
  }
  return std::string();
}

std::string BareAddress(const std::string& value) {
  std::string address, name;
  SplitAddress(value, address, name);
  return address;
}

// Everything up to and including the first "@" gone (all of it without one).
std::string_view Domain(std::string_view address) {
  const size_t at = address.find('@');
  return at == std::string_view::npos ? address : address.substr(at + 1);
}

// One text of the message as the filters read it, in two forms: Text, as the user sees it
// (decoded), and Also, as the header has it when that reads differently (raw). A filter fires on
// either. Their lower-case forms are made on first use.
class TextFact {
 public:
  std::string Text, Also;  // Also: empty when it reads as Text does

  void Set(std::string text, std::string also) {
    Text = std::move(text);
    if (also != Text) Also = std::move(also);
  }
  // Both forms as they stand, for the check lists (which ignore case themselves).
  template <class Test>
  bool Either(Test&& test) const {
    return test(Text) || (!Also.empty() && test(Also));
  }
  // Both forms in lower case.
  template <class Test>
  bool EitherLower(Test&& test) const {
    Lower();
    return test(textLower_) || (!Also.empty() && test(alsoLower_));
  }
  const std::string& TextLower() const {
    Lower();
    return textLower_;
  }
  bool Contains(std::string_view needle) const {
    return EitherLower([&](const std::string& text) { return Holds(text, needle); });
  }
  bool Equals(std::string_view lowered) const {
    return EitherLower([&](const std::string& text) { return text == lowered; });
  }
  bool DomainEquals(std::string_view lowered) const {
    return EitherLower([&](const std::string& text) { return Domain(text) == lowered; });
  }

 private:
  void Lower() const {
    if (lowered_) return;
    textLower_ = Lowered(Text);
    if (!Also.empty()) alsoLower_ = Lowered(Also);
    lowered_ = true;
  }
  mutable bool lowered_ = false;
  mutable std::string textLower_, alsoLower_;
};

// What the filters read of one message: taken before the first rule runs (actions may let the
// user interface run), and only the facts that some rule reads. The learner is asked once, and
// only when a rule compares its probability.
class MessageFacts {
 public:
  MessageFacts(TfrmMain& main, const TmsRemoteInfoItem& item, const std::vector<MailRule>& rules)
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
        case kLearnedFilter:
          if (!learned) learned = main.Learner().Probability(headers_);
          break;
        default:
          break;
      }
    }
  }

  const int32_t size;
  std::optional<double> learned;  // the spam probability, 0 to 1, when a rule reads it
  const TextFact& From() { return Address(from_, "From"); }
  const TextFact& To() { return Address(to_, "To"); }
  const TextFact& MailFor() { return Address(mailFor_, "Mail-For"); }
  const TextFact& ReplyTo() { return Address(replyTo_, "Reply-To"); }
  const TextFact& Subject() { return Value(subject_, "Subject"); }
  const TextFact& Mailer() { return Value(mailer_, "X-Mailer"); }
  const TextFact& Distribution() { return Value(distribution_, "X-Distribution"); }
  // Every header line followed by CR LF; also each field whose value holds encoded words or
  // 8-bit bytes, on one line and decoded (the other fields read the same either way).
  const TextFact& Header() {
    if (!header_) {
      std::string block, decoded;
      size_t bytes = 0;
      for (const std::string_view line : headers_) bytes += line.size() + 2;
      block.reserve(bytes);
      for (const std::string_view line : headers_) (block += line) += "\r\n";
      const bool encoded = NeedsDecoding(block);
      for (size_t i = 0; encoded && i < headers_.size(); ++i) {
        const std::string_view line = headers_[i];
        const size_t colon = line.find(':');
        std::string value(colon == std::string_view::npos ? line : line.substr(colon + 1));
        for (; i + 1 < headers_.size() && !headers_[i + 1].empty() &&
               (headers_[i + 1][0] == ' ' || headers_[i + 1][0] == '\t');
             ++i)
          (value += ' ') += Trim(headers_[i + 1]);
        if (!NeedsDecoding(value)) continue;
        if (colon != std::string::npos) (decoded += line.substr(0, colon)) += ": ";
        (decoded += DecodeHeaderText(Trim(value))) += "\r\n";
      }
      header_.emplace();
      header_->Set(std::move(block), std::move(decoded));
    }
    return *header_;
  }
  // Whether the block has a field of this name (a rule's parameter) with a non-empty value.
  bool HasField(const std::string& name) const {
    return std::find(present_.begin(), present_.end(), name) != present_.end();
  }

 private:
  const TextFact& Value(std::optional<TextFact>& fact, std::string_view field) {
    if (!fact) fact.emplace().Set(GetFieldValue(headers_, field), RawValue(headers_, field));
    return *fact;
  }
  const TextFact& Address(std::optional<TextFact>& fact, std::string_view field) {
    if (!fact)
      fact.emplace().Set(BareAddress(GetFieldValue(headers_, field)),
                         BareAddress(RawValue(headers_, field)));
    return *fact;
  }
  const TmsHeaders& headers_;  // read by the constructor only
  std::optional<TextFact> from_, to_, mailFor_, replyTo_, subject_, mailer_, distribution_, header_;
  std::vector<std::string> present_;
};

// Whether a rule's filter fires for the message (filter 13 is tested apart, after the others).
// Texts match what the user sees or what the header says, letter case ignored in any script;
// lowered is the rule's parameter in lower case. Two fields are compared as the user sees them.
bool Fires(TfrmMain& main, const MailRule& rule, const std::string& lowered, MessageFacts& f,
           const MessageListEntry& entry) {
  const std::string& p = rule.FilterParam;
  const auto inList = [&](const TextFact& fact) {
    const auto list = main.CheckList(p);
    return list && fact.Either([&](const std::string& a) { return list->HasAddress(a); });
  };
  const auto textInList = [&](const TextFact& fact) {
    const auto list = main.CheckList(p);
    return list && fact.Either([&](const std::string& t) { return list->OccursIn(t); });
  };
  switch (rule.FilterType) {
    case 0:
      return f.From().Equals(lowered);
    case 1:
      return f.From().DomainEquals(lowered);
    case 2:
      return f.Subject().Contains(lowered);
    case 3:
      return f.To().Contains(lowered);
    case 4:
      return !f.MailFor().Text.empty() && f.MailFor().TextLower() != f.To().TextLower();
    case 5:
      return !f.ReplyTo().Text.empty() && f.ReplyTo().TextLower() == f.To().TextLower();
    case 6:
      return !f.ReplyTo().Text.empty() && f.ReplyTo().TextLower() != f.From().TextLower();
    case 7:
      return f.To().TextLower() == f.From().TextLower();
    case 8:
      return f.HasField(p);
    case 9:
      return f.Header().Contains(lowered);
    case 10:
      return f.Mailer().Contains(lowered);
    case 11:
      return f.Distribution().Contains(lowered);
    case 12:
      return f.size > StrToInt(p);
    case 14:
      return inList(f.From());
    case 15:
      return inList(f.To());
    case 16:
      return textInList(f.Subject());
    case 17:
      return f.To().Text.empty();
    case 18:
      return f.size < StrToInt(p);
    case 19:
      return true;
    case 20:
      return main.IsHeaderInList(p, entry);
    case 21:
      return textInList(f.Header());
    case 22:
      return !f.To().Text.empty() && !inList(f.To());
    case kLearnedFilter:
      return f.learned.value_or(0.5) * 100 > LearnedPercent(p);
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
    entry.AppliedRules.push_back("----> Not done: " + ErrorText(e));
    ++MessageFailures;
    PutStatusMessage("A rule could not finish: " + ErrorText(e));
  }
  if (TListRow* row = RowOf(&entry)) row->ImageIndex = entry.Status;
}

// The rules in effect and their filter texts in lower case, made once per edit of the rules.
struct TPreparedRules {
  explicit TPreparedRules(std::shared_ptr<const std::vector<MailRule>> taken)
      : rules(std::move(taken)) {
    loweredParams.reserve(rules->size());
    for (const MailRule& rule : *rules) loweredParams.push_back(Lowered(rule.FilterParam));
  }
  std::shared_ptr<const std::vector<MailRule>> rules;
  std::vector<std::string> loweredParams;
};

void TfrmMain::ApplyRules(const TmsRemoteInfoItem& item, MessageListEntry& entry) {
  // Held for the whole message: actions may let the user interface run while they talk to the
  // server, and an edit of the rules meanwhile replaces the list rather than changing this one.
  std::shared_ptr<const TPreparedRules> prepared = preparedRules_;
  if (!prepared || prepared->rules != frmOptions.lsvRule.Share())
    preparedRules_ = prepared = std::make_shared<const TPreparedRules>(frmOptions.lsvRule.Share());
  const std::vector<MailRule>& rules = *prepared->rules;
  MessageFacts facts(*this, item, rules);
  // Once, whether a rule fires or not, so that the log tells why.
  if (facts.learned) entry.AppliedRules.push_back("----> learned: " + PercentText(*facts.learned));
  for (size_t i = 0; i < rules.size(); ++i) {
    const MailRule& rule = rules[i];
    if (rule.FilterType == 13)
      entry.HasPoundRule = true;
    else if (Fires(*this, rule, prepared->loweredParams[i], facts, entry))
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
