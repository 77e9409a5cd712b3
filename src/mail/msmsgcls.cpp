// The message classes: content type, assignment, clearing, header fields, checks, attachments.
#include "mail/msmsgcls.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "mail/msmime.h"
#include "mail/mspars.h"
#include "store/FileIO.h"

namespace norva {
namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The lower-case last path component of an attachment's name.
std::string LowerFilePart(const TmsAttItem& item) {
  return Lower(ExtractFileName(item.FileName()));
}

// An attachment name that can be written into a folder: its last component, not "." or "..",
// with control characters (a NUL would cut the name short) shown as "_".
std::string SafeFileName(const TmsAttItem& item) {
  std::string name = ExtractFileName(item.FileName());
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '_';
  if (name.empty() || name == "." || name == "..")
    throw EMessageError("The attachment has no usable file name");
  return name;
}

// Attachments opened with the desktop's program go into a folder of their own, made for each and
// readable by the user only: in the shared temporary folder another user could have put a link
// under the attachment's name that would send the write elsewhere.
constexpr const char kOpenedPrefix[] = "norva-open-";

// The values of every field called name, unfolded, as they stand (encoded words not decoded).
std::vector<std::string> RawFieldValues(THeaderLines lines, std::string_view name) {
  std::vector<std::string> values;
  const std::string field = Lower(name) + ":";
  for (size_t i = 0; i < lines.size(); ++i) {
    if (Lower(std::string_view(lines[i]).substr(0, field.size())) != field) continue;
    std::string value(lines[i].substr(field.size()));
    for (size_t k = i + 1; k < lines.size(); ++k) {
      const std::string_view next = lines[k];
      if (next.empty() || (next[0] != ' ' && next[0] != '\t')) break;
      (value += ' ') += Trim(next);
    }
    values.push_back(Trim(value));
  }
  return values;
}

// An address as the field gives it: the address is taken before any encoded word is decoded, so
// that decoded text (which may hold "<", line breaks, anything) is only ever the name.
// One that does not parse is kept as text, so that one bad field never loses the message.
void ParseRawAddress(std::string_view raw, TmsMailAddress& address) {
  try {
    ParseAddress(raw, address);
  } catch (const EAddressError&) {
    address.Address = Trim(raw);
    address.Name.clear();
    return;
  }
  // "addr (comment)" has no display name: a comment is not one, and mail readers show the
  // address alone (the list still shows the whole field).
  if (raw.find('<') == std::string_view::npos) address.Name.clear();
  address.Name = DecodeHeaderText(address.Name.str());
}

void ParseSender(THeaderLines lines, TmsMailAddress& sender) {
  const std::vector<std::string> from = RawFieldValues(lines, "From");
  ParseRawAddress(from.empty() ? std::string() : from.front(), sender);
}

std::string Format(std::string text, const char* placeholder, long long value) {
  if (auto at = text.find(placeholder); at != std::string::npos)
    text.replace(at, 2, std::to_string(value));
  return text;
}

}  // namespace

std::function<int(const std::string& path)> TmsCustomMessage::OpenWithDesktop;

namespace {

// The bytes a message was read from, all of them.
void KeepOriginal(TStream& stream, std::string& original) {
  TMemoryStream copy;
  stream.SetPosition(0);
  copy.CopyFrom(stream, 0);
  original = copy.Bytes();
}

}  // namespace

TmsCustomMessage::~TmsCustomMessage() {
  for (const auto& file : TempFiles) {  // errors ignored, file by file
    fileio::Unlink(file);
    const std::filesystem::path folder = std::filesystem::path(file).parent_path();
    if (folder.filename().string().starts_with(kOpenedPrefix)) ::rmdir(folder.c_str());
  }
}

std::string TmsCustomMessage::ContentType() {
  const int32_t count = Attachments.Count();
  std::string result;
  if (Encoding == meUU) {
    contentType_.clear();
    return "";
  }
  bool allAlternatives = count > 0;
  for (int32_t i = 0; i < count; ++i)
    if (LowerFilePart(Attachments.Items(i)).rfind("_alt.", 0) != 0) allAlternatives = false;
  if (allAlternatives) {
    result = "multipart/alternative";
  } else if (count == 1 && Body.empty() && LowerFilePart(Attachments.Items(0)) == "_rtfbody.rtf") {
    result = "text/rtf";
  } else if (count == 1 && Body.empty() && LowerFilePart(Attachments.Items(0)) == "_htmbody.htm") {
    result = "text/html";
  } else if (Body.empty()) {
    result = count == 1   ? Attachments.Items(0).ContentType.str()
             : count == 0 ? "text/plain"
                          : "multipart/mixed";
  } else if (count == 0) {
    return contentType_.empty() ? "text/plain" : contentType_.str();
  } else {
    result = "multipart/mixed";
  }
  contentType_ = result;
  return result;
}

void TmsCustomMessage::SetContentType(std::string_view contentType) {
  contentType_ = Lower(contentType);
}

void TmsCustomMessage::SetAttachments(const TmsAttList& list) {
  Attachments.Clear();
  for (int32_t i = 0; i < list.Count(); ++i) {
    const TmsAttItem& source = list.Items(i);
    auto item = std::make_unique<TmsAttItem>();
    item->SetFileName(source.FileName());
    item->ContentType = source.ContentType;
    item->TransferEncoding = source.TransferEncoding;
    item->Data.Assign(source.Data.Bytes());
    Attachments.Add(std::move(item));
  }
  contentType_ = Attachments.Count() == 0 ? "text/plain" : "multipart/mixed";
}

void TmsCustomMessage::Assign(const TmsCustomMessage& source) {
  if (&source == this) return;
  Sender.Assign(source.Sender);
  Subject = source.Subject;
  Encoding = source.Encoding;
  CharSet = source.CharSet;
  Headers = source.Headers;
  Body = source.Body;
  Html = source.Html;
  Original = source.Original;
  Attachments.Assign(source.Attachments);
  contentType_ = const_cast<TmsCustomMessage&>(source).ContentType();
  Tag = source.Tag;
}

void TmsCustomMessage::CheckFields() {
  if (Sender.Address.empty()) throw EMessageError("The address of sender is required");
}

void TmsCustomMessage::Clear() {
  Body.clear();
  Html.clear();
  Original.clear();
  Attachments.Clear();
  Sender.Clear();
  Headers.clear();
  Subject.clear();
  contentType_.clear();
  Encoding = meMIME;
  CharSet = csUSASCII;
}

void TmsCustomMessage::Loaded() {
  for (int32_t i = 0; i < Attachments.Count(); ++i) {
    TmsAttItem& item = Attachments.Items(i);
    item.Data.LoadFromFile(item.FileName());
  }
}

void TmsCustomMessage::SaveAttachment(int32_t index, const std::string& dir) {
  TmsAttItem& item = Attachments.Items(index);
  item.Data.SaveToFile(IncludeTrailingBackslash(dir) + SafeFileName(item));
}

void TmsCustomMessage::ExecuteAttachment(int32_t index) {
  TmsAttItem& item = Attachments.Items(index);
  if (item.FileName().empty())
    throw EMessageError(
        Format("Unable to execute attachment #%d\nbecause file name is blank", "%d", index));
  const std::string name = SafeFileName(item);
  std::string dir = IncludeTrailingBackslash(fileio::TempDirectory()) + kOpenedPrefix + "XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr)
    throw EMessageError("Unable to execute attachment #" + std::to_string(index) +
                        "\nbecause no temporary folder could be made: " + std::strerror(errno));
  const std::string path = IncludeTrailingBackslash(dir) + name;
  try {
    SaveAttachment(index, dir);
  } catch (...) {
    fileio::Unlink(path);
    ::rmdir(dir.c_str());
    throw;
  }
  TempFiles.push_back(path);
  const int result = OpenWithDesktop ? OpenWithDesktop(path) : 0;
  if (result <= 31)
    throw EMessageError(Format("Error executing ShellExec.  Error code %d", "%d", result));
}

// ---- TmsMessage ----

void TmsMessage::Assign(const TmsCustomMessage& source) {
  if (auto message = dynamic_cast<const TmsMessage*>(&source); message && message != this) {
    Recipients.Assign(message->Recipients);
    CC.Assign(message->CC);
    BCC.Assign(message->BCC);
    Priority = message->Priority;
    ReturnReceipt = message->ReturnReceipt;
  }
  TmsCustomMessage::Assign(source);
}

void TmsMessage::CheckFields() {
  TmsCustomMessage::CheckFields();
  for (const TmsAddressList* list : {&Recipients, &CC, &BCC})
    for (int32_t i = 0; i < list->Count(); ++i)
      if (!list->Items(i).Address.empty()) return;
  throw EMessageError("At least one Recipient, CC or BCC must be entered");
}

void TmsMessage::SaveToStream(TStream& stream) {
  TmsMessageEncoder encoder(*this);
  encoder.Stream = &stream;
  encoder.EightBit = EightBitTransport;
  encoder.Encode();
}

void TmsMessage::LoadFromStream(TStream& stream) {
  // The message becomes the one read: nothing of what it held before stays, and the address
  // lists fill once.
  Clear();
  ReturnReceipt = false;
  Priority = ptNormal;
  TmsMessageDecoder decoder(stream);
  decoder.Message = this;
  decoder.Decode();
  KeepOriginal(stream, Original);
}

void TmsMessage::Clear() {
  TmsCustomMessage::Clear();
  CC.Clear();
  BCC.Clear();
  Recipients.Clear();
}

void TmsMessage::SetHeaderFields(THeaderLines lines) {
  ParseSender(lines, Sender);
  const std::pair<const char*, TmsAddressList*> lists[] = {
      {"To", &Recipients}, {"CC", &CC}, {"BCC", &BCC}};
  for (const auto& [name, list] : lists)
    for (const std::string& value : RawFieldValues(lines, name))
      for (const std::string& item : SplitAddressList(value)) {
        auto address = std::make_unique<TmsMailAddress>();
        ParseRawAddress(item, *address);
        list->Add(std::move(address));
      }
  if (std::string subject = GetFieldValue(lines, "Subject"); !subject.empty()) Subject = subject;
  const std::string priority = GetFieldValue(lines, "X-Priority");
  Priority = priority == "1" ? ptHigh : priority == "5" ? ptLow : ptNormal;
  if (!GetFieldValue(lines, "Return-receipt-to").empty()) ReturnReceipt = true;
  Headers.assign(lines.begin(), lines.end());
}

// ---- TmsArticle ----

void TmsArticle::Assign(const TmsCustomMessage& source) {
  if (auto article = dynamic_cast<const TmsArticle*>(&source)) NewsGroups = article->NewsGroups;
  TmsCustomMessage::Assign(source);
}

void TmsArticle::CheckFields() {
  TmsCustomMessage::CheckFields();
  if (NewsGroups.empty()) throw EMessageError("Newsgroup header is required");
  if (Subject.empty()) throw EMessageError("Subject header is required");
}

void TmsArticle::SaveToStream(TStream& stream) {
  TmsArticleEncoder encoder(*this);
  encoder.Stream = &stream;
  encoder.EightBit = EightBitTransport;
  encoder.Encode();
}

void TmsArticle::LoadFromStream(TStream& stream) {
  Clear();
  TmsArticleDecoder decoder(stream);
  decoder.Message = this;
  decoder.Decode();
  KeepOriginal(stream, Original);
}

void TmsArticle::Clear() {
  NewsGroups.clear();
  TmsCustomMessage::Clear();
}

void TmsArticle::SetHeaderFields(THeaderLines lines) {
  ParseSender(lines, Sender);
  Path = GetFieldValue(lines, "PATH");
  NewsGroups = GetFieldValue(lines, "NEWSGROUPS");
  MessageID = GetFieldValue(lines, "MESSAGE-ID");
  if (std::string subject = GetFieldValue(lines, "Subject"); !subject.empty()) Subject = subject;
  Headers.assign(lines.begin(), lines.end());
}

}  // namespace norva
