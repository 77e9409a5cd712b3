// The message classes: content type, assignment, clearing, header fields, checks, attachments.
#include "mail/msmsgcls.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

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

// An attachment name that can be written into a folder: its last component, not "." or "..".
std::string SafeFileName(const TmsAttItem& item) {
  std::string name = ExtractFileName(item.FileName());
  if (name.empty() || name == "." || name == "..")
    throw EMessageError("The attachment has no usable file name");
  return name;
}

std::string Format(std::string text, const char* placeholder, long long value) {
  if (auto at = text.find(placeholder); at != std::string::npos)
    text.replace(at, 2, std::to_string(value));
  return text;
}

}  // namespace

std::function<int(const std::string& path)> TmsCustomMessage::OpenWithDesktop;

TmsCustomMessage::~TmsCustomMessage() {
  for (const auto& file : TempFiles) fileio::Unlink(file);  // errors ignored, file by file
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
  Attachments.Assign(source.Attachments);
  contentType_ = const_cast<TmsCustomMessage&>(source).ContentType();
  Tag = source.Tag;
}

void TmsCustomMessage::CheckFields() {
  if (Sender.Address.empty()) throw EMessageError("The address of sender is required");
}

void TmsCustomMessage::Clear() {
  Body.clear();
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
  const std::string dir = fileio::TempDirectory();
  SaveAttachment(index, dir);
  const std::string path = IncludeTrailingBackslash(dir) + SafeFileName(item);
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
  encoder.Encode();
}

void TmsMessage::LoadFromStream(TStream& stream) {
  TmsMessageDecoder decoder(stream);
  decoder.Message = this;
  decoder.Decode();
}

void TmsMessage::Clear() {
  TmsCustomMessage::Clear();
  CC.Clear();
  BCC.Clear();
  Recipients.Clear();
}

void TmsMessage::SetHeaderFields(const TStringList& lines) {
  ParseAddress(GetFieldValue(lines, "FROM"), Sender);
  const std::pair<const char*, TmsAddressList*> lists[] = {
      {"TO", &Recipients}, {"CC", &CC}, {"BCC", &BCC}};
  for (const auto& [name, list] : lists) {
    TStringList values;
    GetFieldValues(lines, name, values);
    for (const auto& value : values) {
      auto address = std::make_unique<TmsMailAddress>();
      ParseAddress(value, *address);
      list->Add(std::move(address));
    }
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
  encoder.Encode();
}

void TmsArticle::LoadFromStream(TStream& stream) {
  TmsArticleDecoder decoder(stream);
  decoder.Message = this;
  decoder.Decode();
}

void TmsArticle::Clear() {
  NewsGroups.clear();
  TmsCustomMessage::Clear();
}

void TmsArticle::SetHeaderFields(const TStringList& lines) {
  ParseAddress(GetFieldValue(lines, "FROM"), Sender);
  Path = GetFieldValue(lines, "PATH");
  NewsGroups = GetFieldValue(lines, "NEWSGROUPS");
  MessageID = GetFieldValue(lines, "MESSAGE-ID");
  if (std::string subject = GetFieldValue(lines, "Subject"); !subject.empty()) Subject = subject;
  Headers.assign(lines.begin(), lines.end());
}

}  // namespace norva
