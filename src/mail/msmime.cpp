// The message encoder: header block, body layouts by content type, attachment data in their
// transfer encodings, and the uuencoded layout.
#include "mail/msmime.h"

#include <algorithm>
#include <random>

#include "mail/msuucode.h"

namespace norva {
namespace {

constexpr const char* kPreamble = "This is a multipart message in MIME format";
constexpr size_t kBase64Block = 57;  // 76 characters per line
constexpr size_t kUUBlock = 45;      // the most one uuencoded line holds

// The fields the encoder writes itself (or never writes, BCC), dropped from the raw headers.
constexpr const char* kOwnFields[] = {"From",
                                      "To",
                                      "CC",
                                      "BCC",
                                      "Return-Receipt-To",
                                      "X-Priority",
                                      "Subject",
                                      "Mime-Version",
                                      "Content-Type",
                                      "X-Encoding",
                                      "Content-Transfer-Encoding"};

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

// The last path component of the attachment's name: names come from received messages.
std::string FilePart(const TmsAttItem& item) {
  return ExtractFileName(item.FileName().str());
}

// A file name for a quoted parameter: a double quote inside would end the value early.
std::string QuotedFileName(const TmsAttItem& item) {
  std::string name = FilePart(item);
  std::replace(name.begin(), name.end(), '"', '_');
  return "\"" + name + "\"";
}

bool IsAlternativePart(const TmsAttItem& item) {
  return Lower(FilePart(item)).starts_with("_alt.");
}

// An attachment without a type is declared as plain bytes.
std::string TypeOf(const TmsAttItem& item) {
  return item.ContentType.empty() ? "application/octet-stream" : item.ContentType.str();
}

// A damaged stored value is taken as base64, which carries any bytes.
TAttEncoding EncodingOf(const TmsAttItem& item) {
  return item.TransferEncoding <= aeQuotedPrintable ? item.TransferEncoding : aeBase64;
}

// The quoted-printable lines of the stream's bytes.
TStringList QuotedPrintableLines(TStream& stream) {
  TStringList lines;
  TQuotedPrintable converter(stream, lines);
  converter.Encode();
  return lines;
}

}  // namespace

TmsCustomEncoder::TmsCustomEncoder(TmsCustomMessage& message) : message_(message) {
  longLines_ = std::any_of(message.Body.begin(), message.Body.end(),
                           [](const std::string& line) { return line.size() > 255; });
}

void TmsCustomEncoder::WriteLine(std::string_view text) {
  if (Stream == nullptr) throw Exception("The encoder has no destination stream");
  std::string line(text.substr(0, text.find('\0')));
  line += "\r\n";
  Stream->WriteString(line);
}

void TmsCustomEncoder::WriteLines(const TStringList& lines) {
  for (const std::string& line : lines) WriteLine(line);
}

void TmsCustomEncoder::WriteHeaderLine(std::string_view text) {
  std::string line(text);
  std::replace(line.begin(), line.end(), '\r', ' ');
  std::replace(line.begin(), line.end(), '\n', ' ');
  WriteLine(line);
}

std::string TmsCustomEncoder::MakeBoundary() {
  static thread_local std::mt19937 engine = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device()};
    return std::mt19937(seed);
  }();
  std::uniform_int_distribution<int> digit(0, 8);
  std::string boundary(8, '0');
  for (char& c : boundary) c = char('0' + digit(engine));
  return boundary;
}

void TmsCustomEncoder::Encode() {
  if (Stream == nullptr) throw Exception("The encoder has no destination stream");
  // The stream holds exactly this message afterwards, whatever it held before.
  Stream->SetPosition(0);
  Stream->SetSize(0);
  WriteHeaders();
  if (message_.Encoding == meUU) {
    WriteUUEncoded();
    return;
  }
  const std::string contentType = message_.ContentType();
  if (message_.Attachments.Count() == 0) {
    // Text without parts: a stored type other than html or rtf (even a multipart type, which
    // would have no part to hold) is written as plain text.
    if (contentType == "text/html" || contentType == "text/rtf")
      WriteFormattedText(contentType);
    else
      WritePlainText();
  } else if (contentType == "multipart/mixed") {
    WriteMultipart(contentType, false);
  } else if (contentType == "multipart/alternative") {
    WriteMultipart(contentType, true);
  } else {
    // An empty body and one attachment, including the html and rtf body files.
    WriteSingleAttachment();
  }
}

// ---- header block ----

bool TmsCustomEncoder::UseJisWords() const {
  return message_.CharSet == csISO2022jp && message_.Encoding == meMIME;
}

std::string TmsCustomEncoder::JisWord(std::string_view text) const {
  if (!UseJisWords() || text.empty() || text[0] != '\x1b') return std::string(text);
  return "=?ISO-2022-JP?B?" + Base64Encode(text) + "?=";
}

std::string TmsCustomEncoder::DisplayName(const TmsMailAddress& address) const {
  const std::string& name = address.Name.str();
  // A JIS name goes out as an encoded word; its double-byte characters may include ".".
  if (UseJisWords() && !name.empty() && name[0] == '\x1b') return JisWord(name);
  // Quote a name with a full stop (a middle initial) or another character that would split
  // or end the address, unless it carries its own quotes.
  if (name.find('"') == std::string::npos && name.find_first_of(".,;:<>@()[]") != std::string::npos)
    return "\"" + name + "\"";
  return name;
}

void TmsCustomEncoder::WriteAddressList(std::string_view label, const TmsAddressList& list) {
  std::string field(label);
  if (field.empty() || field.back() != ':') field += ':';
  if (field.size() < 10) field.resize(10, ' ');
  for (int32_t i = 0; i < list.Count(); ++i) {
    const TmsMailAddress& address = list.Items(i);
    std::string line = i == 0 ? field : std::string(10, ' ');
    line += DisplayName(address) + " <" + address.Address.str() + ">";
    if (i + 1 < list.Count()) line += ',';
    WriteHeaderLine(line);
  }
}

void TmsCustomEncoder::WriteOtherHeaders(std::string_view extraField) {
  TmsHeaders& headers = message_.Headers;
  auto removeAll = [&headers](std::string_view name) {
    for (size_t count = headers.size() + 1; headers.size() < count;) {
      count = headers.size();
      RemoveField(headers, name);
    }
  };
  for (const char* name : kOwnFields) removeAll(name);
  if (!extraField.empty()) removeAll(extraField);
  bool fieldStarted = false;
  for (const std::string& line : headers) {
    // An empty line would end the header block; a continuation line before any field would
    // join the field written before it.
    if (line.empty()) continue;
    if (line[0] == ' ' || line[0] == '\t') {
      if (!fieldStarted) continue;
    } else {
      fieldStarted = true;
    }
    WriteHeaderLine(line);
  }
}

void TmsMessageEncoder::WriteHeaders() {
  auto* message = dynamic_cast<TmsMessage*>(&message_);
  if (message == nullptr) throw EMessageError("The mail encoder needs a mail message");
  WriteHeaderLine("From:     " + DisplayName(message->Sender) + " <" +
                  message->Sender.Address.str() + ">");
  WriteAddressList("To", message->Recipients);
  WriteAddressList("CC", message->CC);
  if (message->ReturnReceipt)
    WriteHeaderLine("Return-Receipt-To: <" + message->Sender.Address.str() + ">");
  if (message->Priority == ptHigh) WriteLine("X-Priority: 1");
  if (message->Priority == ptLow) WriteLine("X-Priority: 5");
  WriteOtherHeaders();
  if (!message->Subject.empty()) WriteHeaderLine("Subject: " + JisWord(message->Subject.str()));
  if (message->Encoding == meMIME) WriteLine("Mime-Version: 1.0");
}

void TmsArticleEncoder::WriteHeaders() {
  auto* article = dynamic_cast<TmsArticle*>(&message_);
  if (article == nullptr) throw EMessageError("The news encoder needs a news article");
  WriteHeaderLine("From:     " + JisWord(article->Sender.Name.str()) + " <" +
                  article->Sender.Address.str() + ">");
  WriteHeaderLine("Newsgroups: " + article->NewsGroups);
  // The raw headers of a loaded article hold its Newsgroups field too.
  WriteOtherHeaders("Newsgroups");
  if (!article->Subject.empty()) WriteHeaderLine("Subject:  " + JisWord(article->Subject.str()));
  if (article->Encoding == meMIME) WriteLine("Mime-Version: 1.0");
}

// ---- text bodies ----

void TmsCustomEncoder::WriteTextPartHeaders() {
  if (message_.CharSet == csISO8859) {
    WriteLine("Content-Type: text/plain; charset=\"iso-8859-1\"");
    WriteLine("Content-Transfer-Encoding: quoted-printable");
    return;
  }
  WriteLine(message_.CharSet == csISO2022jp ? "Content-Type: text/plain; charset=\"iso-2022-jp\""
                                            : "Content-Type: text/plain; charset=\"us-ascii\"");
  WriteLine(longLines_ ? "Content-Transfer-Encoding: quoted-printable"
                       : "Content-Transfer-Encoding: 7bit");
}

void TmsCustomEncoder::WriteTextBody() {
  if (message_.CharSet != csISO8859 && !longLines_)
    WriteLines(message_.Body);
  else
    WriteQuotedPrintableBody();
}

void TmsCustomEncoder::WriteQuotedPrintableBody() {
  std::string text;
  for (const std::string& line : message_.Body) text += line + "\r\n";
  TMemoryStream stream;
  stream.Assign(std::move(text));
  WriteLines(QuotedPrintableLines(stream));
}

void TmsCustomEncoder::WritePlainText() {
  WriteTextPartHeaders();
  WriteLine("");
  WriteTextBody();
}

void TmsCustomEncoder::WriteFormattedText(const std::string& contentType) {
  std::string line = "Content-Type: " + contentType;
  if (message_.CharSet != csUSASCII) line += "; charset=\"iso-8859-1\"";
  WriteHeaderLine(line);
  WriteLine("Content-Transfer-Encoding: quoted-printable");
  WriteLine("");
  // The message keeps its text, so saving it twice writes the same message twice.
  WriteQuotedPrintableBody();
}

// ---- attachments ----

void TmsCustomEncoder::WriteAttachmentData(TmsAttItem& item) {
  const std::string& bytes = item.Data.Bytes();
  switch (EncodingOf(item)) {
    case aeBase64:
      // A block shorter than 57 bytes is the last, so whole blocks end with an empty line.
      for (size_t pos = 0;;) {
        const size_t length = std::min(kBase64Block, bytes.size() - pos);
        WriteLine(Base64Encode(std::string_view(bytes).substr(pos, length)));
        pos += length;
        if (length < kBase64Block) break;
      }
      break;
    case aeQuotedPrintable: {
      const int64_t position = item.Data.Position();
      TStringList lines = QuotedPrintableLines(item.Data);
      item.Data.SetPosition(position);
      WriteLines(lines);
      break;
    }
    case aeSevenBit: {
      // Text lines end at CR LF, CR or LF; a line end at the very end adds no empty line.
      size_t start = 0;
      for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r' && bytes[i] != '\n') continue;
        WriteLine(std::string_view(bytes).substr(start, i - start));
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
        start = i + 1;
      }
      if (start < bytes.size()) WriteLine(std::string_view(bytes).substr(start));
      break;
    }
  }
}

void TmsCustomEncoder::WriteSingleAttachment() {
  TmsAttItem& item = message_.Attachments.Items(0);
  const std::string name = Lower(FilePart(item));
  const bool single = message_.Attachments.Count() == 1;
  const bool htmlBody = single && name == "_htmbody.htm";
  const bool rtfBody = single && name == "_rtfbody.rtf";
  if (htmlBody)
    WriteLine("Content-Type: text/html");
  else if (rtfBody)
    WriteLine("Content-Type: text/rtf");
  else
    WriteHeaderLine("Content-Type: " + TypeOf(item) + "; name=" + QuotedFileName(item));
  WriteHeaderLine(std::string("Content-Transfer-Encoding: ") + kAttEncodingNames[EncodingOf(item)]);
  if (!htmlBody && !rtfBody)
    WriteHeaderLine("Content-Disposition: attachment; filename=" + QuotedFileName(item));
  WriteLine("");
  WriteAttachmentData(item);
}

void TmsCustomEncoder::WriteMultipart(const std::string& contentType, bool alternative) {
  TmsAttList& attachments = message_.Attachments;
  const int32_t count = attachments.Count();
  const std::string first = Lower(FilePart(attachments.Items(0)));
  const bool bodyEmpty = message_.Body.empty();
  bool htmlBody = bodyEmpty && first == "_htmbody.htm";
  bool rtfBody = bodyEmpty && first == "_rtfbody.rtf";

  std::string boundary = MakeBoundary();
  WriteHeaderLine("Content-Type: " + contentType + "; boundary=\"" + boundary + "\"");
  WriteLine("");
  WriteLine(kPreamble);
  WriteLine("");
  WriteLine("--" + boundary);

  // A mixed message whose first attachments are alternatives of its text puts the text and
  // those alternatives into a multipart/alternative of their own.
  std::string outer;
  bool nested = false;
  if (!alternative && IsAlternativePart(attachments.Items(0))) {
    outer = boundary;
    do boundary = MakeBoundary();
    while (boundary == outer);
    nested = true;
    WriteLine("Content-Type:  multipart/alternative; boundary=\"" + boundary + "\"");
    WriteLine("Content-Transfer-Encoding: 7bit");
    WriteLine("");
    WriteLine("--" + boundary);
  }

  if (!bodyEmpty) {
    WriteTextPartHeaders();
    WriteLine("");
    WriteTextBody();
    WriteLine("");
    WriteLine("--" + boundary);
  }

  for (int32_t i = 0; i < count; ++i) {
    TmsAttItem& item = attachments.Items(i);
    if (i > 0) {
      // The empty line after the previous part's data already stands before this boundary; a
      // second one would be read back as a line of that data.
      WriteLine("--" + boundary);
      htmlBody = rtfBody = false;
    }
    // Alternatives and body files are the message's text: no name, not an attachment.
    const bool named = !alternative && !nested && !htmlBody && !rtfBody;
    std::string typeLine = "Content-Type: " + TypeOf(item);
    if (named) typeLine += "; name=" + QuotedFileName(item);
    WriteHeaderLine(typeLine);
    WriteHeaderLine(std::string("Content-Transfer-Encoding: ") +
                    kAttEncodingNames[EncodingOf(item)]);
    if (named) WriteHeaderLine("Content-Disposition: attachment; filename=" + QuotedFileName(item));
    WriteLine("");
    WriteAttachmentData(item);
    WriteLine("");
    if (i + 1 == count) {
      WriteLine("--" + boundary + "--");
      if (nested) WriteLine("--" + outer + "--");
    } else if (nested && !IsAlternativePart(attachments.Items(i + 1))) {
      WriteLine("--" + boundary + "--");
      boundary = outer;
      nested = false;
    }
  }
}

// ---- uuencoded ----

void TmsCustomEncoder::WriteUUEncoded() {
  WriteLine("");
  WriteLines(message_.Body);
  for (int32_t i = 0; i < message_.Attachments.Count(); ++i) {
    const TmsAttItem& item = message_.Attachments.Items(i);
    WriteLine("");
    WriteHeaderLine("begin 600 " + FilePart(item));
    const std::string& bytes = item.Data.Bytes();
    for (size_t pos = 0;;) {
      const size_t length = std::min(kUUBlock, bytes.size() - pos);
      WriteLine(UUEncodeLine(std::string_view(bytes).substr(pos, length)));
      pos += length;
      if (length < kUUBlock) break;
    }
    WriteLine("`");
    WriteLine("end");
  }
}

}  // namespace norva
