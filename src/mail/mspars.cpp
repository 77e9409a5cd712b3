// The message decoder: header block, body lines and attachments from the raw text of a message.
//
// Every loop reads through TLineStream and ends at its end flag, so no input keeps the decoder
// reading; the only restart (a single text part that turns out to hold uuencoded files) happens
// at most once.
#include "mail/mspars.h"

#include <algorithm>
#include <string_view>

#include "mail/msCls.h"
#include "mail/msuucode.h"
#include "store/Pump.h"

namespace norva {
namespace {

const char kErrorIntro[] = "The following error has been occured while processing the message:";
const char kErrorOutro[] = "The original message will be stored as an attachment";
const char kMissingContentType[] = "Missing required field: Content-Type";
const char kNoClosingBoundary[] = "Cannot find closing boundary";
const char kNoBoundary[] = "Cannot find boundary";
const char kAttachmentError[] = "Error decoding the attachment";
const char kBodyError[] = "Error decoding the message text";

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

std::string Cut255(std::string text) {
  if (text.size() > 255) text.resize(255);
  return text;
}

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// A delimiter line: the boundary line (with "--" after it when closing), then only blanks, which
// transports may have added.
bool IsDelimiter(std::string_view line, std::string_view boundary, bool closing) {
  if (!line.starts_with(boundary)) return false;
  line.remove_prefix(boundary.size());
  if (closing) {
    if (!line.starts_with("--")) return false;
    line.remove_prefix(2);
  }
  return line.find_first_not_of(" \t") == std::string_view::npos;
}

// "begin", a three-digit mode and a name: the start of a uuencoded file.
bool IsBeginLine(const std::string& line) {
  if (line.size() < 9 || Lower(std::string_view(line).substr(0, 5)) != "begin") return false;
  std::string rest = Trim(std::string_view(line).substr(5));
  try {
    StrToInt(rest.substr(0, 3));
    return true;
  } catch (const EConvertError&) {
    return false;
  }
}

// The file name of a begin line: after "begin", the mode and a space; quoted or up to a space.
std::string BeginLineName(const std::string& line) {
  if (line.size() <= 10) return "";
  std::string_view rest = std::string_view(line).substr(10);
  if (rest.starts_with('"')) {
    rest.remove_prefix(1);
    size_t quote = rest.find('"');
    return quote == std::string_view::npos ? "" : std::string(rest.substr(0, quote));
  }
  return std::string(rest.substr(0, rest.find(' ')));
}

// The attachment encoding a part's Content-Transfer-Encoding asks for.
TAttEncoding EncodingOf(const TStringList& headers, bool& uuencoded) {
  std::string cte = Lower(Cut255(GetFieldValue(headers, "Content-Transfer-Encoding")));
  uuencoded = cte.starts_with("x-uue");
  if (cte == "base64" || uuencoded) return aeBase64;
  if (cte == "quoted-printable") return aeQuotedPrintable;
  return aeSevenBit;
}

// Base64 over several lines: characters left over from a line that was not cut at a multiple of
// four are carried into the next, so any line width decodes alike.
class TBase64Lines {
 public:
  void Add(std::string_view line, std::string& out) {
    pending_.append(line);
    size_t whole = pending_.size() / 4 * 4;
    Base64DecodeLine(std::string_view(pending_).substr(0, whole), out);
    pending_.erase(0, whole);
  }
  void Finish(std::string& out) {
    if (!pending_.empty()) Base64DecodeLine(pending_, out);
    pending_.clear();
  }

 private:
  std::string pending_;
};

// The text lines of quoted-printable lines.
TStringList DecodeQuotedPrintableLines(TStringList& lines) {
  TMemoryStream bytes;
  TQuotedPrintable converter(bytes, lines);
  converter.Decode();
  return SplitLines(bytes.Bytes());
}

}  // namespace

struct TmsCustomDecoder::TState {
  TLineStream reader;
  TmsHeaders partHeaders;
  std::string line;  // the line read last
  std::string boundary;
  std::string outerBoundary;
  bool nestedAlternative = false;
  bool topAlternative = false;
  bool restarted = false;
  bool firstPartPending = false;  // a base64 first part waits to be read as an attachment

  // Reads the next line; false (and the line not to be used) at the end of the message.
  bool Next() {
    reader.ReadLine(line);
    return !reader.EndOfStream;
  }
  bool AtEnd() const { return reader.EndOfStream; }
  // Reads and drops the rest of the message.
  void Drain() {
    while (!AtEnd()) Next();
  }
};

TmsCustomDecoder::TmsCustomDecoder(TStream& source) : state_(std::make_unique<TState>()) {
  state_->reader.CopyFrom(source, 0);
  state_->reader.Reset();
}

TmsCustomDecoder::~TmsCustomDecoder() = default;

void TmsCustomDecoder::Decode() {
  if (Message == nullptr) throw Exception("The decoder has no target message");
  TState& s = *state_;
  s.reader.Reset();
  ReadHeaders(HeaderList);
  AssignHeaderFields();
  try {
    if (Contains(GetFieldValue(HeaderList, "MIME-VERSION"), "1.0"))
      DecodeMime();
    else
      DecodePlain();
  } catch (const EMessageParserError& e) {
    Recover(e.what());
  }
}

void TmsCustomDecoder::ReadHeaders(TStringList& list) {
  TState& s = *state_;
  list.clear();
  while (s.Next() && !s.line.empty()) list.push_back(s.line);
}

// ---- plain messages and uuencoded files ----

void TmsCustomDecoder::DecodePlain() {
  TState& s = *state_;
  while (s.Next()) {
    if (IsBeginLine(s.line)) {
      ExtractUUFiles(s.line);
      Message->Encoding = meUU;
    } else {
      Message->Body.push_back(s.line);
    }
  }
}

// Reads every uuencoded file from the begin line given to the end of the message; text between
// and after the files is dropped.
void TmsCustomDecoder::ExtractUUFiles(const std::string& beginLine) {
  TState& s = *state_;
  std::string begin = beginLine;
  for (;;) {
    auto item = std::make_unique<TmsAttItem>();
    std::string name = BeginLineName(begin);
    if (name.empty()) name = "att." + std::to_string(Message->Attachments.Count());
    item->SetFileName(name);
    std::string bytes;
    while (s.Next()) {
      if (s.line == "`" || Lower(s.line) == "end") break;
      if (s.line.empty()) continue;
      bytes.clear();
      UUDecodeLine(s.line, bytes);
      item->Data.WriteString(bytes);
    }
    item->Data.SetPosition(0);
    Message->Attachments.Add(std::move(item));

    bool another = false;
    while (!another && !s.AtEnd() && s.Next()) another = IsBeginLine(s.line);
    if (!another) return;
    begin = s.line;
  }
}

// ---- MIME ----

void TmsCustomDecoder::DecodeMime() {
  // This mailer declares a content type that does not match what it sends.
  if (GetFieldValue(HeaderList, "X-Mailer") == "V Mailsystem R #0001")
    RemoveField(HeaderList, "Content-Type");
  std::string contentType = GetFieldValue(HeaderList, "Content-type");
  // Only the media type decides: a parameter such as the file name may hold any word.
  std::string lower = Lower(GetMediaType(contentType));
  if (Contains(lower, "multipart/alternative")) {
    state_->topAlternative = true;
    DecodeMultipart();
  } else if (Contains(lower, "multipart")) {
    DecodeMultipart();
  } else if (!contentType.empty() && !Contains(lower, "text/")) {
    DecodeSingleNonText();
  } else {
    std::string name = GetParameter("name", contentType);
    if (!name.empty() && name != "cc:Mail")
      DecodeSingleNonText();
    else
      DecodeSingleText();
  }
}

void TmsCustomDecoder::DecodeMultipart() {
  TState& s = *state_;
  s.boundary = "--" + GetParameter("Boundary", GetFieldValue(HeaderList, "Content-Type"));
  for (;;) {
    if (!s.Next()) throw EMessageParserError(kNoBoundary);
    if (IsDelimiter(s.line, s.boundary, false)) break;
  }
  DecodeFirstPart();
  DecodeRemainingParts();
}

// The first part becomes the body; a base64 one is left for DecodeRemainingParts instead.
void TmsCustomDecoder::DecodeFirstPart() {
  TState& s = *state_;
  TmsCustomMessage& m = *Message;
  ReadHeaders(s.partHeaders);
  std::string contentType = GetFieldValue(s.partHeaders, "Content-Type");
  if (Lower(Cut255(GetParameter("CharSet", contentType))) == "iso-2022-jp") m.CharSet = csISO2022jp;

  if (Contains(Lower(GetMediaType(contentType)), "multipart/alternative")) {
    // The body and its alternatives sit in a multipart of their own.
    s.nestedAlternative = true;
    s.outerBoundary = s.boundary;
    s.boundary = "--" + GetParameter("boundary", contentType);
    for (;;) {
      if (!s.Next()) throw EMessageParserError(kNoBoundary);
      if (IsDelimiter(s.line, s.boundary, false)) break;
    }
    ReadHeaders(s.partHeaders);
  }

  std::string encoding = Lower(GetFieldValue(s.partHeaders, "Content-Transfer-Encoding"));
  bool base64 = encoding == "base64";
  bool quotedPrintable = encoding == "quoted-printable";
  if (base64 && m.CharSet != csISO2022jp) {
    s.partHeaders.push_back("Content-Transfer-Encoding: Base64");
    s.firstPartPending = true;
    return;
  }
  m.Body.clear();
  if (quotedPrintable) m.CharSet = csISO8859;

  if (!base64) {
    while (s.Next() && !IsDelimiter(s.line, s.boundary, false) &&
           !IsDelimiter(s.line, s.boundary, true))
      m.Body.push_back(s.line);
    if (!s.AtEnd() && !m.Body.empty() && m.Body.back().empty()) m.Body.pop_back();
    if (m.Body.empty()) m.Body.emplace_back();
    if (quotedPrintable) m.Body = DecodeQuotedPrintableLines(m.Body);
  } else {
    TBase64Lines decoder;
    std::string bytes;
    try {
      while (s.Next() && !s.line.starts_with(s.boundary))
        if (!s.line.empty()) decoder.Add(s.line, bytes);
      decoder.Finish(bytes);
    } catch (const Exception&) {
      throw EMessageParserError(kBodyError);  // a byte outside the alphabet
    }
    m.Body = SplitLines(bytes);
  }

  if (IsDelimiter(s.line, s.boundary, true)) {
    // A nested alternative that closes after its first part leaves the outer parts to read.
    if (s.nestedAlternative) {
      s.nestedAlternative = false;
      s.boundary = s.outerBoundary;
      if (FindOuterBoundary()) return;
    }
    m.SetContentType(GetMediaType(Cut255(GetFieldValue(s.partHeaders, "Content-Type"))));
    s.Drain();
  } else if (s.AtEnd()) {
    throw EMessageParserError(kNoBoundary);
  }
}

// Reads up to the outer boundary after a nested alternative: true when another part follows,
// false when the outer multipart closes there.
bool TmsCustomDecoder::FindOuterBoundary() {
  TState& s = *state_;
  for (;;) {
    if (!s.Next()) throw EMessageParserError(kNoClosingBoundary);
    if (IsDelimiter(s.line, s.boundary, false)) return true;
    if (IsDelimiter(s.line, s.boundary, true)) return false;
  }
}

void TmsCustomDecoder::DecodeRemainingParts() {
  TState& s = *state_;
  TmsCustomMessage& m = *Message;
  if (s.AtEnd()) return;
  for (;;) {
    ProcessMessages();
    if (s.firstPartPending)
      s.firstPartPending = false;
    else
      ReadHeaders(s.partHeaders);

    auto item = std::make_unique<TmsAttItem>();
    try {
      std::string contentType = Cut255(GetFieldValue(s.partHeaders, "Content-type"));
      if (contentType.empty()) contentType = "text/plain";
      std::string mediaType = GetMediaType(contentType);
      item->ContentType = mediaType;
      item->SetFileName(DecodeHeaderText(GetParameter("name", contentType)));
      bool uuencoded = false;
      TAttEncoding encoding = EncodingOf(s.partHeaders, uuencoded);
      if (item->FileName().empty()) {
        item->SetFileName(DecodeHeaderText(
            GetParameter("filename", GetFieldValue(s.partHeaders, "Content-Disposition"))));
        if (item->FileName().empty()) {
          bool alternative = s.nestedAlternative || s.topAlternative;
          item->SetFileName((alternative ? "_alt." : "att.") +
                            std::to_string(m.Attachments.Count()));
          if (!mediaType.empty()) item->ContentType = mediaType;
        }
      }
      item->TransferEncoding = encoding;
      ReadPartData(*item, encoding, uuencoded, true);
    } catch (const EMessageParserError&) {
      throw;
    } catch (const std::exception&) {
      throw EMessageParserError(kAttachmentError);
    }
    m.Attachments.Add(std::move(item));

    if (!IsDelimiter(s.line, s.boundary, true) && !s.AtEnd()) continue;
    if (!s.nestedAlternative) return;
    s.nestedAlternative = false;
    s.boundary = s.outerBoundary;
    if (!FindOuterBoundary()) return;
  }
}

// Reads a part's lines into the item's data by the transfer encoding: up to a line that starts
// with the boundary line when bounded, else to the end of the message. An empty last line before
// the boundary is the line end that belongs to the boundary, not data.
void TmsCustomDecoder::ReadPartData(TmsAttItem& item, TAttEncoding encoding, bool uuencoded,
                                    bool bounded) {
  TState& s = *state_;
  TBase64Lines base64;
  TStringList quoted;
  std::string bytes;
  bool blankHeld = false;  // a 7-bit empty line not yet written
  bool atBoundary = false;
  while (s.Next()) {
    const std::string& line = s.line;
    if (bounded && line.starts_with(s.boundary)) {
      atBoundary = true;
      break;
    }
    switch (encoding) {
      case aeBase64:
        // A lone "." carries no data (it once ended the message on the wire).
        if (line.empty() || (!bounded && line == ".")) break;
        bytes.clear();
        if (!uuencoded) {
          base64.Add(line, bytes);
        } else if (!IsBeginLine(line) && line != "`" && line != "end") {
          UUDecodeLine(line, bytes);
        }
        item.Data.WriteString(bytes);
        break;
      case aeQuotedPrintable:
        quoted.push_back(line);
        break;
      default:
        if (blankHeld) item.Data.WriteString("\r\n");
        blankHeld = line.empty();
        if (blankHeld) break;
        item.Data.WriteString(line);
        item.Data.WriteString("\r\n");
        break;
    }
  }
  if (blankHeld && !atBoundary) item.Data.WriteString("\r\n");
  if (atBoundary && !quoted.empty() && quoted.back().empty()) quoted.pop_back();
  if (encoding == aeBase64 && !uuencoded) {
    bytes.clear();
    base64.Finish(bytes);
    item.Data.WriteString(bytes);
  }
  if (encoding == aeQuotedPrintable) {
    TQuotedPrintable converter(item.Data, quoted);
    converter.Decode();
  }
  item.Data.SetPosition(0);
}

void TmsCustomDecoder::DecodeSingleText() {
  TState& s = *state_;
  TmsCustomMessage& m = *Message;
  std::string contentType = GetFieldValue(HeaderList, "Content-Type");
  std::string mediaType = Lower(GetMediaType(Cut255(contentType)));
  if (mediaType == "text/html" || mediaType == "text/rtf") m.SetContentType(mediaType);
  std::string encoding = Lower(GetFieldValue(HeaderList, "Content-Transfer-Encoding"));
  m.Body.clear();
  bool quotedPrintable =
      encoding == "quoted-printable" ||
      Contains(GetFieldValue(HeaderList, "X-MIME-Autoconverted"), "quoted-printable");
  bool base64 = encoding == "base64";
  if (Lower(Cut255(GetParameter("CharSet", contentType))) == "iso-2022-jp") m.CharSet = csISO2022jp;
  if (quotedPrintable) m.CharSet = csISO8859;

  if (!base64) {
    while (s.Next()) {
      // Quoted-printable lines are encoded text: one may start with "begin" where the encoder
      // broke a long line, which says nothing about uuencoded files.
      if (!s.restarted && !quotedPrintable && IsBeginLine(s.line)) {
        RestartAsPlain();
        return;
      }
      m.Body.push_back(s.line);
    }
    if (quotedPrintable) m.Body = DecodeQuotedPrintableLines(m.Body);
  } else {
    TBase64Lines decoder;
    std::string bytes;
    try {
      while (s.Next())
        if (!s.line.empty() && s.line != ".") decoder.Add(s.line, bytes);
      decoder.Finish(bytes);
    } catch (const Exception&) {
      throw EMessageParserError(kBodyError);  // a byte outside the alphabet
    }
    m.Body = SplitLines(bytes);
  }
}

// A text part holding uuencoded files is read again from the top as a plain message. The
// address lists are emptied first, as the header assignment appends to them.
void TmsCustomDecoder::RestartAsPlain() {
  TState& s = *state_;
  s.restarted = true;
  s.reader.Reset();
  Message->Body.clear();
  HeaderList.clear();
  ReadHeaders(HeaderList);
  if (auto* message = dynamic_cast<TmsMessage*>(Message)) {
    message->Recipients.Clear();
    message->CC.Clear();
    message->BCC.Clear();
  }
  AssignHeaderFields();
  DecodePlain();
}

void TmsCustomDecoder::DecodeSingleNonText() {
  auto item = std::make_unique<TmsAttItem>();
  std::string contentType = Cut255(GetFieldValue(HeaderList, "Content-type"));
  if (contentType.empty()) throw EMessageParserError(kMissingContentType);
  try {
    item->ContentType = contentType;
    item->SetFileName(DecodeHeaderText(GetParameter("name", contentType)));
    bool uuencoded = false;
    TAttEncoding encoding = EncodingOf(HeaderList, uuencoded);
    if (item->FileName().empty()) {
      std::string name = DecodeHeaderText(
          GetParameter("filename", GetFieldValue(HeaderList, "Content-Disposition")));
      if (name.empty()) name = "att." + std::to_string(Message->Attachments.Count());
      item->SetFileName(name);
      item->ContentType = GetMediaType(contentType);
    }
    item->TransferEncoding = encoding;
    ReadPartData(*item, encoding, uuencoded, false);
  } catch (const std::exception&) {
    throw EMessageParserError(kAttachmentError);
  }
  Message->Attachments.Add(std::move(item));
}

// Keeps what was decoded, explains the failure in the body and attaches the whole message.
void TmsCustomDecoder::Recover(const std::string& error) {
  TmsCustomMessage& m = *Message;
  m.Body.push_back(kErrorIntro);
  m.Body.push_back(error);
  m.Body.push_back(kErrorOutro);
  auto item = std::make_unique<TmsAttItem>();
  item->SetFileName("original.eml");
  item->ContentType = "message/rfc822";
  item->TransferEncoding = aeSevenBit;
  item->Data.Assign(state_->reader.Bytes());
  m.Attachments.Add(std::move(item));
}

// ---- the two kinds of target ----

void TmsMessageDecoder::AssignHeaderFields() {
  auto* message = dynamic_cast<TmsMessage*>(Message);
  if (message == nullptr) throw Exception("The target of a message decoder is not a message");
  message->SetHeaderFields(HeaderList);
}

void TmsArticleDecoder::AssignHeaderFields() {
  auto* article = dynamic_cast<TmsArticle*>(Message);
  if (article == nullptr) throw Exception("The target of an article decoder is not an article");
  article->SetHeaderFields(HeaderList);
}

}  // namespace norva
