// The message decoder: header block, body text and attachments from the raw bytes of a message.
//
// The message is read as a tree of MIME entities over its bytes (views, no copies): each
// multipart is split at its own boundary's delimiter lines, to a nesting depth of kMaxDepth.
// The body is then chosen as a reader of today's mail expects (the first plain text found
// depth-first, else the first HTML), its alternatives are set aside, and every other leaf
// becomes an attachment holding its bytes exactly.
#include "mail/mspars.h"

#include <algorithm>
#include <new>
#include <string_view>
#include <vector>

#include "mail/msCls.h"
#include "mail/mscharset.h"
#include "mail/mshtml.h"
#include "mail/msmime.h"
#include "mail/msuucode.h"
#include "store/Pump.h"

namespace norva {
namespace {

const char kErrorIntro[] = "The following error has been occured while processing the message:";
const char kErrorOutro[] = "The original message will be stored as an attachment";

// Header lines kept per entity, and text lines kept in Body: beyond these a line costs more than
// the bytes it came from, so a hostile message could make the decoder hold many times its size.
// The whole text is then kept as an attachment as well.
constexpr size_t kMaxHeaderLines = 10000;
constexpr size_t kMaxBodyLines = 100000;

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

// The line that starts at pos (without its line end) and the position after its line end.
std::string_view LineAt(std::string_view text, size_t pos, size_t& next) {
  size_t lf = text.find('\n', pos);
  size_t end = lf == std::string_view::npos ? text.size() : lf;
  next = lf == std::string_view::npos ? text.size() : lf + 1;
  std::string_view line = text.substr(pos, end - pos);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// A line that belongs to a header block: a field ("Name:", the name printable ASCII), a
// continuation (leading blank) or an mbox "From " line. The first other line starts the body.
bool IsHeaderLine(std::string_view line) {
  if (line[0] == ' ' || line[0] == '\t' || line.starts_with("From ")) return true;
  for (char c : line) {
    if (c == ':') return true;
    if (c < '!' || c > '~') return false;
  }
  return false;
}

// Reads the header block at the start of an entity into lines; returns the body after it.
std::string_view ReadHeaderBlock(std::string_view entity, TStringList& lines) {
  size_t pos = 0;
  while (pos < entity.size()) {
    size_t next = 0;
    std::string_view line = LineAt(entity, pos, next);
    if (line.empty()) return entity.substr(next);
    if (!IsHeaderLine(line)) break;
    if (lines.size() < kMaxHeaderLines) lines.emplace_back(line);
    pos = next;
  }
  return entity.substr(pos);
}

// The lines of text, split as SplitLines does, but no more than one past kMaxBodyLines.
TStringList TextLines(std::string_view text) {
  TStringList lines;
  lines.reserve(
      std::min<size_t>(size_t(std::count(text.begin(), text.end(), '\n')) + 1, kMaxBodyLines + 1));
  for (size_t pos = 0; pos < text.size() && lines.size() <= kMaxBodyLines;)
    lines.emplace_back(LineAt(text, pos, pos));
  return lines;
}

// Text in its declared charset as UTF-8. Without a declaration (or with us-ascii, which 8-bit
// text often wrongly claims) each line is read on its own: as UTF-8 where it is valid, else as
// Windows-1252, so that a text mixing both reads right.
std::string TextToUtf8(std::string_view bytes, const std::string& charset) {
  const std::string lower = Lower(Trim(charset));
  if (!lower.empty() && lower != "us-ascii" && lower != "ascii") return ToUtf8(bytes, charset);
  if (IsAscii(bytes) || IsUtf8(bytes)) return std::string(bytes);
  std::string text;
  text.reserve(bytes.size() * 2);
  for (size_t pos = 0; pos < bytes.size();) {
    const size_t lf = bytes.find('\n', pos);
    const size_t end = lf == std::string_view::npos ? bytes.size() : lf + 1;
    text += RawToUtf8(bytes.substr(pos, end - pos));
    pos = end;
  }
  return text;
}

// "begin", a space, three or four octal digits, a space and a name: where a uuencoded file
// starts, when a well-formed uuencoded line follows. Gives the name, unquoted.
bool IsBeginLine(std::string_view line, std::string& name) {
  if (!line.starts_with("begin ")) return false;
  line.remove_prefix(6);
  size_t digits = 0;
  while (digits < line.size() && line[digits] >= '0' && line[digits] <= '7') ++digits;
  if ((digits != 3 && digits != 4) || digits >= line.size() || line[digits] != ' ') return false;
  name = Trim(line.substr(digits + 1));
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
    name = name.substr(1, name.size() - 2);
  return !name.empty();
}

// A line that may stand inside a uuencoded file: only the characters of the encoding.
bool IsUUData(std::string_view line) {
  return std::all_of(line.begin(), line.end(), [](char c) { return c >= ' ' && c <= '`'; });
}

// Decodes the lines of a uuencoded file from lines[from] (the line after "begin") up to "end"
// or the first line that cannot belong to one; returns the index after the last line used.
// Short lines decode with zero bits for what transports stripped, but the file never grows
// past the size of its encoded lines.
size_t DecodeUUFile(const TStringList& lines, size_t from, std::string& bytes) {
  size_t encoded = 0;
  size_t i = from;
  for (; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (Lower(Trim(line)) == "end") return i + 1;
    if (!IsUUData(line)) break;
    encoded += line.size() + 2;
    UUDecodeLine(line, bytes);
    if (bytes.size() > encoded) bytes.resize(encoded);
  }
  return i;
}

// The bytes of a part sent as x-uuencode: the files' lines, begin and end lines left out.
std::string DecodeUUPart(std::string_view body) {
  TStringList lines = SplitLines(std::string(body));
  std::string bytes;
  for (size_t i = 0; i < lines.size();) {
    if (lines[i].starts_with("begin ")) {
      i = DecodeUUFile(lines, i + 1, bytes);
    } else if (IsUULine(lines[i])) {
      i = DecodeUUFile(lines, i, bytes);
    } else {
      ++i;
    }
  }
  return bytes;
}

// A name that can stand for an attached message: the subject without path separators and
// control characters, cut well below the 255 characters of a name.
std::string MessageFileName(std::string_view subject) {
  std::string name = Utf8Prefix(Trim(subject), 200);
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '/' || c == '\\') c = '_';
  name = Trim(name);
  return name.empty() ? "message.eml" : name + ".eml";
}

// One MIME entity of the message: its header lines, its bytes and, for a multipart that was
// split, its parts.
struct TEntity {
  TStringList headers;
  std::string_view whole;  // header block and body
  std::string_view body;
  std::string type;     // the lower-case media type
  std::string subtype;  // after the "/"
  int parent = -1;
  std::vector<int> parts;
  bool split = false;     // a multipart read as its parts
  bool tooDeep = false;   // a multipart nested too deep, kept whole
  bool attached = false;  // Content-Disposition: attachment

  std::string ContentType() const { return GetFieldValue(headers, "Content-Type"); }
};

class TTreeReader {
 public:
  explicit TTreeReader(std::string_view bytes) : partBudget_(1000 + bytes.size() / 128) {}

  std::vector<TEntity> entities;

  // Reads the entity at index (its headers already read) and, for a multipart, its parts.
  void Read(int index, int depth) {
    TEntity& e = entities[size_t(index)];
    TypeOf(e, e.parent >= 0 && entities[size_t(e.parent)].type == "multipart/digest");
    e.attached =
        Lower(GetMediaType(GetFieldValue(e.headers, "Content-Disposition"))) == "attachment";
    if (!e.type.starts_with("multipart/")) return;
    if (depth >= TmsCustomDecoder::kMaxDepth) {
      e.tooDeep = true;
      return;
    }
    std::vector<std::string_view> parts;
    std::string boundary = GetParameter("boundary", e.ContentType());
    if (boundary.empty() || !SplitParts(e.body, "--" + boundary, parts)) {
      // A multipart without its parts: its text is all it holds.
      e.type = "text/plain";
      e.subtype = "plain";
      return;
    }
    e.split = true;
    for (std::string_view part : parts) {
      const int child = int(entities.size());
      entities[size_t(index)].parts.push_back(child);
      entities.emplace_back();
      TEntity& c = entities.back();
      c.parent = index;
      c.whole = part;
      c.body = ReadHeaderBlock(part, c.headers);
      Read(child, depth + 1);
    }
  }

 private:
  void TypeOf(TEntity& e, bool inDigest) {
    // This mailer declares a content type that does not match what it sends.
    const bool misdeclared =
        e.parent < 0 && GetFieldValue(e.headers, "X-Mailer") == "V Mailsystem R #0001";
    std::string type = misdeclared ? "" : Lower(GetMediaType(e.ContentType()));
    const size_t slash = type.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == type.size())
      type = inDigest ? "message/rfc822" : "text/plain";
    e.type = type;
    e.subtype = type.substr(type.find('/') + 1);
  }

  // The parts between the delimiter lines of a multipart body: a line of the delimiter (with
  // "--" after it for the last), blanks after it allowed. The line end before a delimiter
  // belongs to it. A missing closing delimiter ends the last part at the end of the body.
  // False when no delimiter is found.
  bool SplitParts(std::string_view body, const std::string& delimiter,
                  std::vector<std::string_view>& parts) {
    bool open = false;
    size_t partStart = 0;
    for (size_t at = body.find(delimiter); at != std::string_view::npos;
         at = body.find(delimiter, at + 1)) {
      if (at > 0 && body[at - 1] != '\n') continue;
      size_t next = 0;
      std::string_view rest = LineAt(body, at, next).substr(delimiter.size());
      const bool closing = rest.starts_with("--");
      if (closing) rest.remove_prefix(2);
      if (rest.find_first_not_of(" \t") != std::string_view::npos) continue;
      if (open) {
        size_t end = at;
        if (end > partStart && body[end - 1] == '\n') --end;
        if (end > partStart && body[end - 1] == '\r') --end;
        parts.push_back(body.substr(partStart, end - partStart));
      }
      if (closing && open) return true;
      open = true;
      partStart = next;
      if (partBudget_ == 0) break;  // the rest is one part: many tiny parts cost too much
      --partBudget_;
    }
    if (open) {
      // The line end before the end of the message stands where the delimiter would.
      std::string_view last = body.substr(partStart);
      if (last.ends_with('\n')) last.remove_suffix(1);
      if (last.ends_with('\r')) last.remove_suffix(1);
      parts.push_back(last);
    }
    return open;
  }

  // Parts still to be split off; a part costs a few hundred bytes however small it is.
  size_t partBudget_;
};

// The lower-case value of a part's Content-Transfer-Encoding.
std::string TransferEncodingOf(const TEntity& e) {
  return Lower(Trim(GetFieldValue(e.headers, "Content-Transfer-Encoding")));
}

bool IsUUEncoding(const std::string& cte) {
  return cte == "x-uuencode" || cte == "x-uue" || cte == "uuencode" || cte == "x-uu";
}

// A leaf's bytes with its transfer encoding undone.
std::string DecodedBytes(const TEntity& e) {
  ProcessMessages();
  const std::string cte = TransferEncodingOf(e);
  if (cte == "base64") {
    std::string bytes;
    bytes.reserve(e.body.size() / 4 * 3);
    Base64DecodeLine(e.body, bytes);
    return bytes;
  }
  if (cte == "quoted-printable") return QuotedPrintableDecode(e.body);
  if (IsUUEncoding(cte)) return DecodeUUPart(e.body);
  return std::string(e.body);
}

// The name a part is sent with: Content-Disposition's filename, else Content-Type's name;
// encoded words and raw 8-bit bytes decoded.
std::string SentFileName(const TEntity& e) {
  std::string name = GetParameter("filename", GetFieldValue(e.headers, "Content-Disposition"));
  if (name.empty()) name = GetParameter("name", e.ContentType());
  return DecodeHeaderText(name);
}

// How an attachment is written again: as it came when that carries any bytes, else base64
// unless the bytes are plain text lines.
TAttEncoding StoredEncoding(const TEntity& e, const std::string& bytes) {
  const std::string cte = TransferEncodingOf(e);
  if (cte == "base64" || IsUUEncoding(cte)) return aeBase64;
  if (cte == "quoted-printable") return aeQuotedPrintable;
  if (e.type.starts_with("message/")) return aeSevenBit;
  size_t lineLength = 0;
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0 || byte >= 0x80 || ++lineLength > 998) return aeBase64;
    if (c == '\n') lineLength = 0;
  }
  return aeSevenBit;
}

class TBodyBuilder {
 public:
  TBodyBuilder(TmsCustomMessage& message, std::vector<TEntity>& entities)
      : m_(message), e_(entities) {}

  void Build() {
    FindBody(0);
    int body = -1;
    for (int candidate : candidates_)
      if (e_[size_t(candidate)].subtype == "plain") {
        body = candidate;
        break;
      }
    for (int candidate : candidates_)
      if (body < 0 && e_[size_t(candidate)].subtype == "html") body = candidate;

    // The alternatives of the body are views of the same text, not attachments: the first
    // HTML among them is kept for the viewer, the others are set aside.
    int html = body >= 0 && e_[size_t(body)].subtype == "html" ? body : -1;
    const int alternative = body >= 0 ? AlternativeOf(body) : -1;
    std::vector<bool> setAside(e_.size(), false);
    if (alternative >= 0)
      for (int candidate : candidates_)
        if (candidate != body && Within(candidate, alternative)) {
          if (html < 0 && e_[size_t(candidate)].subtype == "html")
            html = candidate;
          else
            setAside[size_t(candidate)] = true;
        }
    // So are its other direct views (a text/calendar beside an invitation's text), unless
    // they are marked as attachments.
    if (alternative >= 0)
      for (int part : e_[size_t(alternative)].parts)
        if (part != body && part != html && !e_[size_t(part)].split && !e_[size_t(part)].attached)
          setAside[size_t(part)] = true;

    // Some mailers put the HTML view beside the text in a multipart/mixed: the first inline
    // text/html sibling of a plain body is its view too, as readers take it.
    if (body >= 0 && alternative < 0 && e_[size_t(body)].parent >= 0)
      for (int part : e_[size_t(e_[size_t(body)].parent)].parts) {
        const TEntity& sibling = e_[size_t(part)];
        if (part == body || sibling.attached || sibling.type != "text/html") continue;
        if (html < 0)
          html = part;
        else
          setAside[size_t(part)] = true;
        break;
      }

    for (size_t i = 0; i < e_.size(); ++i) {
      const TEntity& e = e_[i];
      if (e.split || setAside[i]) continue;
      Guarded([&] {
        if (int(i) == body)
          SetBody(e, html == body);
        else if (int(i) == html)
          SetHtml(e);
        else
          Attach(e, e.tooDeep ? std::string(e.whole) : DecodedBytes(e));
      });
    }
  }

 private:
  // The parts a reader takes the body from, in order: text/plain and text/html parts that are
  // not attachments, reached through multiparts that are not attachments; of a
  // multipart/related only its root (the part its start parameter names, else the first).
  void FindBody(int index) {
    const TEntity& e = e_[size_t(index)];
    if (e.attached) return;
    if (e.type.starts_with("text/")) {
      if (e.subtype == "plain" || e.subtype == "html") candidates_.push_back(index);
      return;
    }
    if (!e.split) return;
    if (e.subtype != "related") {
      for (int part : e.parts) FindBody(part);
      return;
    }
    const std::string start = GetParameter("start", e.ContentType());
    int root = e.parts.empty() ? -1 : e.parts.front();
    if (!start.empty())
      for (int part : e.parts)
        if (GetFieldValue(e_[size_t(part)].headers, "Content-ID") == start) root = part;
    if (root >= 0) FindBody(root);
  }

  // The nearest multipart/alternative holding the entity, -1 when none does.
  int AlternativeOf(int index) const {
    for (int p = e_[size_t(index)].parent; p >= 0; p = e_[size_t(p)].parent)
      if (e_[size_t(p)].type == "multipart/alternative") return p;
    return -1;
  }

  bool Within(int index, int ancestor) const {
    for (int p = e_[size_t(index)].parent; p >= 0; p = e_[size_t(p)].parent)
      if (p == ancestor) return true;
    return false;
  }

  std::string Charset(const TEntity& e) const { return GetParameter("charset", e.ContentType()); }

  void SetBody(const TEntity& e, bool isHtml) {
    if (isHtml) {
      SetHtml(e);
      TStringList lines = TextLines(HtmlToText(m_.Html));
      const bool cut = lines.size() > kMaxBodyLines;
      SetLines(std::move(lines), cut, e, nullptr);
      return;
    }
    std::string bytes = DecodedBytes(e);
    const std::string charset = Charset(e);
    TStringList lines;
    {
      const std::string text = TextToUtf8(bytes, charset);
      m_.CharSet = Lower(charset) == "iso-2022-jp" ? csISO2022jp
                   : IsAscii(text)                 ? csUSASCII
                                                   : csISO8859;
      lines = TextLines(text);
    }
    const bool cut = lines.size() > kMaxBodyLines;
    ExtractUUFiles(lines);
    // format=flowed text (RFC 3676) reads as its paragraphs.
    if (Lower(Trim(GetParameter("format", e.ContentType()))) == "flowed")
      lines = UnflowText(lines, Lower(Trim(GetParameter("delsp", e.ContentType()))) == "yes");
    SetLines(std::move(lines), cut, e, &bytes);
  }

  void SetHtml(const TEntity& e) {
    std::string bytes = DecodedBytes(e);
    std::string charset = Charset(e);
    if (charset.empty()) charset = HtmlMetaCharset(bytes);
    m_.Html = ToUtf8(bytes, charset);
  }

  // Body takes the lines; a plain text too long for them is also attached whole (an HTML one
  // is whole in Html).
  void SetLines(TStringList lines, bool cut, const TEntity& e, std::string* bytes) {
    if (cut) {
      lines.resize(std::min(lines.size(), kMaxBodyLines));
      if (bytes == nullptr) {
        lines.push_back("[...]");
      } else {
        const std::string name = "att." + std::to_string(m_.Attachments.Count());
        lines.push_back("[The text goes on in the attachment " + name + "]");
        Attach(e, std::move(*bytes), name);
      }
    }
    m_.Body.insert(m_.Body.end(), std::make_move_iterator(lines.begin()),
                   std::make_move_iterator(lines.end()));
  }

  // Takes every uuencoded file out of the text lines into an attachment; the text around the
  // files stays, without the empty line that separates a file from the text before it.
  void ExtractUUFiles(TStringList& lines) {
    std::string name;
    size_t kept = 0;
    for (size_t i = 0; i < lines.size();) {
      if (i + 1 < lines.size() && IsBeginLine(lines[i], name) && IsUULine(lines[i + 1])) {
        std::string bytes;
        i = DecodeUUFile(lines, i + 1, bytes);
        if (kept > 0 && lines[kept - 1].empty()) --kept;
        auto item = std::make_unique<TmsAttItem>();
        item->SetFileName(name);
        item->TransferEncoding = aeBase64;
        item->Data.Assign(std::move(bytes));
        m_.Attachments.Add(std::move(item));
        m_.Encoding = meUU;
        continue;
      }
      if (kept != i) lines[kept] = std::move(lines[i]);
      ++kept;
      ++i;
    }
    lines.resize(kept);
  }

  void Attach(const TEntity& e, std::string bytes, std::string name = "") {
    auto item = std::make_unique<TmsAttItem>();
    if (name.empty()) name = SentFileName(e);
    if (name.empty() && e.type == "message/rfc822") {
      TStringList headers;
      ReadHeaderBlock(bytes, headers);
      name = MessageFileName(GetFieldValue(headers, "Subject"));
    }
    if (name.empty()) name = "att." + std::to_string(m_.Attachments.Count());
    item->SetFileName(name);
    // A multipart kept whole is a MIME entity of its own, readable as a message.
    item->ContentType = e.tooDeep ? "message/rfc822" : e.type;
    item->TransferEncoding = e.tooDeep ? aeSevenBit : StoredEncoding(e, bytes);
    item->Data.Assign(std::move(bytes));
    m_.Attachments.Add(std::move(item));
  }

  // Runs one step of the decoding; a failure keeps what was decoded, says so in the body and
  // attaches the original message (once).
  template <class F>
  void Guarded(F&& step) {
    try {
      step();
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& error) {
      m_.Body.push_back(kErrorIntro);
      m_.Body.push_back(error.what());
      m_.Body.push_back(kErrorOutro);
      if (originalAttached_) return;
      originalAttached_ = true;
      auto item = std::make_unique<TmsAttItem>();
      item->SetFileName("original.eml");
      item->ContentType = "message/rfc822";
      item->TransferEncoding = aeSevenBit;
      item->Data.Assign(m_.Original);
      m_.Attachments.Add(std::move(item));
    }
  }

  TmsCustomMessage& m_;
  std::vector<TEntity>& e_;
  std::vector<int> candidates_;
  bool originalAttached_ = false;
};

}  // namespace

TmsCustomDecoder::TmsCustomDecoder(TStream& source) {
  const int64_t size = source.Size();
  bytes_.resize(size_t(std::max<int64_t>(size, 0)));
  source.SetPosition(0);
  bytes_.resize(size_t(std::max<int64_t>(source.Read(bytes_.data(), int64_t(bytes_.size())), 0)));
}

TmsCustomDecoder::~TmsCustomDecoder() = default;

void TmsCustomDecoder::Decode() {
  if (Message == nullptr) throw Exception("The decoder has no target message");
  TmsCustomMessage& m = *Message;
  m.Original = std::move(bytes_);
  bytes_.clear();
  const std::string_view bytes = m.Original;

  TTreeReader reader(bytes);
  reader.entities.emplace_back();
  TEntity& top = reader.entities.back();
  top.whole = bytes;
  top.body = ReadHeaderBlock(bytes, top.headers);
  HeaderList.assign(top.headers.begin(), top.headers.end());
  AssignHeaderFields();
  m.SetContentType("text/plain");
  reader.Read(0, 0);
  TBodyBuilder(m, reader.entities).Build();
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
