#include "app/Learner.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <unordered_set>

#include "store/QDB.h"
#include "store/Streams.h"

namespace norva {
namespace {

// ---- tokens ----

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }

std::string Lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Lower(c);
  return out;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (IsBlank(text.front()) || text.front() == '\0')) text.remove_prefix(1);
  while (!text.empty() && (IsBlank(text.back()) || text.back() == '\0')) text.remove_suffix(1);
  return text;
}

struct Field {
  std::string name;   // lower case
  std::string value;  // unfolded, as it stands
};

// The fields of the block, continuation lines joined to their field with one blank.
std::vector<Field> FieldsOf(THeaderLines headers) {
  std::vector<Field> fields;
  for (std::string_view line : headers) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;
    if (IsBlank(line.front())) {
      if (!fields.empty()) {
        fields.back().value += ' ';
        fields.back().value += Trimmed(line);
      }
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 76) continue;
    std::string_view name = Trimmed(line.substr(0, colon));
    if (name.empty() || name.find(' ') != std::string_view::npos) continue;
    fields.push_back({Lowered(name), std::string(Trimmed(line.substr(colon + 1)))});
  }
  return fields;
}

// Letters become "a" and "A", digits "9", and a run of the same class one character, so that
// generated names and numbers share one token by their form.
std::string Shape(std::string_view text, size_t limit = 24) {
  std::string out;
  for (unsigned char c : text) {
    char k = c >= '0' && c <= '9' ? '9'
             : c >= 'a' && c <= 'z' ? 'a'
             : c >= 'A' && c <= 'Z' ? 'A'
             : c >= 0x80           ? 'u'
                                   : char(c);
    if (out.empty() || out.back() != k) out += k;
    if (out.size() >= limit) break;
  }
  return out;
}

bool IsWordByte(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80 ||
         c == '\'' || c == '$';
}

// Reads one UTF-8 code point; an invalid byte is read as itself.
uint32_t NextCodePoint(std::string_view text, size_t& at) {
  const auto c = static_cast<unsigned char>(text[at]);
  size_t n = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  if (n > 0 && at + n >= text.size()) n = 0;
  uint32_t cp = n == 0 ? c : c & (0x3F >> n);
  for (size_t i = 1; i <= n; ++i) {
    const auto b = static_cast<unsigned char>(text[at + i]);
    if ((b & 0xC0) != 0x80) {
      n = 0;
      cp = c;
      break;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  at += n + 1;
  return cp;
}

// Scripts written without spaces between words: Chinese, Japanese, Korean, Thai.
bool IsUnspaced(uint32_t cp) {
  return (cp >= 0x3040 && cp <= 0x30FF) || (cp >= 0x3400 && cp <= 0x9FFF) ||
         (cp >= 0xAC00 && cp <= 0xD7AF) || (cp >= 0x0E00 && cp <= 0x0E7F) ||
         (cp >= 0xF900 && cp <= 0xFAFF);
}

class TokenSink {
 public:
  void Add(std::string_view prefix, std::string_view text) {
    std::string token;
    token.reserve(prefix.size() + text.size());
    token.append(prefix).append(text);
    if (seen_.insert(token).second) tokens_.push_back(std::move(token));
  }
  std::vector<std::string> Take() { return std::move(tokens_); }

 private:
  std::vector<std::string> tokens_;
  std::unordered_set<std::string> seen_;
};

// Words of a text, lower case, 1 to 30 bytes; runs of an unspaced script give their character
// pairs instead.
void AddWords(TokenSink& sink, std::string_view prefix, std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && !IsWordByte(static_cast<unsigned char>(text[i]))) ++i;
    const size_t start = i;
    while (i < text.size() && IsWordByte(static_cast<unsigned char>(text[i]))) ++i;
    std::string_view word = text.substr(start, i - start);
    while (!word.empty() && word.back() == '\'') word.remove_suffix(1);
    while (!word.empty() && word.front() == '\'') word.remove_prefix(1);
    if (word.empty()) continue;
    // Split off runs of unspaced scripts.
    std::string plain;
    std::vector<uint32_t> run;
    auto flushRun = [&] {
      if (run.size() == 1) {
        std::string one;
        for (uint32_t cp : run) one += std::to_string(cp);
        sink.Add(std::string(prefix) + "u:", one);
      }
      for (size_t k = 0; k + 1 < run.size(); ++k)
        sink.Add(std::string(prefix) + "u:", std::to_string(run[k]) + "." + std::to_string(run[k + 1]));
      run.clear();
    };
    for (size_t at = 0; at < word.size();) {
      const size_t from = at;
      const uint32_t cp = NextCodePoint(word, at);
      if (IsUnspaced(cp)) {
        run.push_back(cp);
      } else {
        flushRun();
        plain.append(word.substr(from, at - from));
      }
    }
    flushRun();
    if (!plain.empty() && plain.size() <= 30) sink.Add(prefix, Lowered(plain));
  }
}

// "a.b.c.d" as four numbers; false for anything else.
bool ParseIPv4(std::string_view text, int (&parts)[4]) {
  int n = 0;
  size_t i = 0;
  while (n < 4) {
    int value = 0, digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
      value = value * 10 + (text[i] - '0');
      ++i;
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    parts[n++] = value;
    if (n < 4) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  return i == text.size();
}

void AddIP(TokenSink& sink, std::string_view prefix, std::string_view ip) {
  int p[4];
  if (!ParseIPv4(ip, p)) return;
  const std::string a = std::to_string(p[0]), b = std::to_string(p[1]), c = std::to_string(p[2]);
  sink.Add(prefix, "ip:" + a + "." + b + "." + c + "." + std::to_string(p[3]));
  sink.Add(prefix, "ip:" + a + "." + b + "." + c);
  sink.Add(prefix, "ip:" + a + "." + b);
  sink.Add(prefix, "ip:" + a);
}

// A host name, and the domains it lies in from the last two labels up (a name without a dot
// is kept as a name only; one that looks like an address is an IP).
void AddHost(TokenSink& sink, std::string_view prefix, std::string_view host) {
  host = Trimmed(host);
  while (!host.empty() && (host.back() == '.' || host.back() == ')' || host.back() == ';'))
    host.remove_suffix(1);
  while (!host.empty() && (host.front() == '(' || host.front() == '[')) host.remove_prefix(1);
  if (host.empty() || host.size() > 100) return;
  int p[4];
  if (ParseIPv4(host, p)) {
    AddIP(sink, prefix, host);
    return;
  }
  const std::string lower = Lowered(host);
  sink.Add(prefix, "h:" + lower);
  if (lower.find('.') == std::string::npos) return;
  sink.Add(prefix, "hs:" + Shape(lower.substr(0, lower.find('.'))));
  // The domain it lies in: its last two labels, and its last three.
  size_t dots = 0;
  for (size_t i = lower.size(); i-- > 0;) {
    if (lower[i] != '.' || ++dots < 2) continue;
    sink.Add(prefix, "d:" + lower.substr(i + 1));
    if (dots == 3) return;
  }
  if (dots < 3) sink.Add(prefix, "d:" + lower);
}

// A Received field: its "from" host and HELO name, the hosts and addresses in brackets, its
// "by" host and its "with" protocol.
void AddReceived(TokenSink& sink, std::string_view value) {
  const std::string lower = Lowered(value);
  std::string_view v = lower;
  const std::string_view prefix = "r:";
  std::string_view last;
  size_t i = 0;
  bool inParens = false;
  while (i < v.size()) {
    while (i < v.size() && (IsBlank(v[i]) || v[i] == ',')) ++i;
    if (i >= v.size()) break;
    const size_t start = i;
    while (i < v.size() && !IsBlank(v[i])) ++i;
    std::string_view word = v.substr(start, i - start);
    if (word.front() == '(') inParens = true;
    const bool closes = word.find(')') != std::string_view::npos;
    if (word == ";") break;
    const size_t semi = word.find(';');
    const bool ends = semi != std::string_view::npos;
    if (ends) word = word.substr(0, semi);
    // Strip the brackets of "[1.2.3.4]" and "(host".
    std::string_view bare = word;
    while (!bare.empty() && (bare.front() == '(' || bare.front() == '[' || bare.front() == '<'))
      bare.remove_prefix(1);
    while (!bare.empty() &&
           (bare.back() == ')' || bare.back() == ']' || bare.back() == '>' || bare.back() == ','))
      bare.remove_suffix(1);
    if (bare == "unknown" && inParens) {
      sink.Add(prefix, "unknown");  // no name for the sending address
    } else if (word == "forged") {
      sink.Add(prefix, "forged");
    } else if (last == "from" && !bare.empty()) {
      int ip[4];
      if (ParseIPv4(bare, ip)) sink.Add(prefix, "helo-ip");
      else if (bare.find('.') == std::string_view::npos) sink.Add(prefix, "helo-nodot");
      AddHost(sink, "rf:", bare);
    } else if (last == "by" && !bare.empty()) {
      AddHost(sink, "rb:", bare);
    } else if (last == "with" && !bare.empty()) {
      sink.Add(prefix, "with:" + std::string(bare));
    } else if (last == "for") {
      // the recipient: says nothing of the sender
    } else if (!bare.empty() && bare.find('.') != std::string_view::npos &&
               bare.find('@') == std::string_view::npos) {
      if (bare.front() >= '0' && bare.front() <= '9') {
        int p[4];
        if (ParseIPv4(bare, p)) AddIP(sink, "r", bare);
      } else if (inParens) {
        AddHost(sink, "rp:", bare);
      }
    }
    last = word;
    if (closes) inParens = false;
    if (ends) break;
  }
}

// The bare address of a field value: what stands in angle brackets, else the first word with an
// "@".
std::string AddressOf(std::string_view value) {
  const size_t open = value.rfind('<');
  if (open != std::string_view::npos) {
    const size_t close = value.find('>', open);
    if (close != std::string_view::npos) return Lowered(Trimmed(value.substr(open + 1, close - open - 1)));
  }
  const size_t at = value.find('@');
  if (at == std::string_view::npos) return "";
  size_t begin = at, end = at;
  while (begin > 0 && !IsBlank(value[begin - 1]) && value[begin - 1] != '"' && value[begin - 1] != '(')
    --begin;
  while (end < value.size() && !IsBlank(value[end]) && value[end] != '"' && value[end] != ')' &&
         value[end] != ',')
    ++end;
  return Lowered(value.substr(begin, end - begin));
}

void AddAddress(TokenSink& sink, const std::string& name, std::string_view value) {
  const std::string prefix = "a:" + name + ":";
  const std::string address = AddressOf(value);
  if (address.empty()) {
    sink.Add(prefix, value.empty() ? "empty" : "none");
    return;
  }
  sink.Add(prefix, address);
  const size_t at = address.rfind('@');
  if (at == std::string::npos) return;
  sink.Add(prefix, "local:" + Shape(address.substr(0, at)));
  AddHost(sink, prefix, address.substr(at + 1));
}

void AddSubject(TokenSink& sink, std::string_view raw) {
  const std::string text = DecodeHeaderText(raw);
  AddWords(sink, "s:", text);
  if (Trimmed(text).empty()) sink.Add("s:", "-empty-");
  size_t upper = 0, letters = 0;
  for (unsigned char c : text) {
    if (c >= 'A' && c <= 'Z') ++upper, ++letters;
    if (c >= 'a' && c <= 'z') ++letters;
  }
  if (letters >= 6 && upper * 2 > letters) sink.Add("s:", "-caps-");
  for (const char* mark : {"!", "$", "%", "?", "  ", "..."})
    if (text.find(mark) != std::string::npos) sink.Add("s:-mark-", mark);
  // The raw form: encoded words and their charsets, and bytes sent unencoded.
  const std::string lower = Lowered(raw);
  for (size_t at = lower.find("=?"); at != std::string::npos; at = lower.find("=?", at + 2)) {
    const size_t q = lower.find('?', at + 2);
    if (q == std::string::npos || q + 2 >= lower.size()) break;
    sink.Add("s:-enc-", lower.substr(at + 2, q - at - 2) + "?" + lower[q + 1]);
  }
  for (unsigned char c : raw)
    if (c >= 0x80) {
      sink.Add("s:", "-8bit-");
      break;
    }
  // Trailing junk such as "  NTICY" or "  12345".
  const std::string_view t = Trimmed(text);
  const size_t gap = t.rfind("   ");
  if (gap != std::string_view::npos) sink.Add("s:-tail-", Shape(Trimmed(t.substr(gap))));
}

void AddContentType(TokenSink& sink, std::string_view value) {
  const std::string lower = Lowered(value);
  const size_t semi = lower.find(';');
  sink.Add("ct:", std::string(Trimmed(std::string_view(lower).substr(0, semi))));
  for (const char* param : {"charset", "boundary", "type"}) {
    const size_t at = lower.find(std::string(param) + "=");
    if (at == std::string::npos) continue;
    std::string_view v = std::string_view(value).substr(at + std::strlen(param) + 1);
    if (!v.empty() && v.front() == '"') {
      v.remove_prefix(1);
      v = v.substr(0, v.find('"'));
    } else {
      v = v.substr(0, v.find_first_of("; \t"));
    }
    if (std::strcmp(param, "boundary") == 0)
      sink.Add("ct:boundary:", Shape(v, 40));
    else
      sink.Add(std::string("ct:") + param + ":", Lowered(v));
  }
}

// The Date field's form (weekday, zone, digits) and what is odd about it.
void AddDate(TokenSink& sink, std::string_view value) {
  sink.Add("date:", Shape(value, 40));
  // The zone: the last word, as it stands.
  std::string_view v = Trimmed(value);
  if (const size_t paren = v.find('('); paren != std::string_view::npos) v = Trimmed(v.substr(0, paren));
  const size_t space = v.rfind(' ');
  const std::string_view zone = space == std::string_view::npos ? v : v.substr(space + 1);
  sink.Add("date:zone:", Lowered(zone));
  if (zone.size() == 5 && (zone[0] == '+' || zone[0] == '-')) {
    const int minutes = (zone[3] - '0') * 10 + (zone[4] - '0');
    const int hours = (zone[1] - '0') * 10 + (zone[2] - '0');
    if (hours > 14 || minutes >= 60 || (minutes % 15) != 0) sink.Add("date:", "-badzone-");
  }
}

void AddAuthentication(TokenSink& sink, std::string_view name, std::string_view value) {
  const std::string lower = Lowered(value);
  size_t at = 0;
  while ((at = lower.find('=', at)) != std::string::npos) {
    size_t begin = at;
    while (begin > 0 && (std::isalnum(static_cast<unsigned char>(lower[begin - 1])) ||
                         lower[begin - 1] == '-' || lower[begin - 1] == '.'))
      --begin;
    size_t end = at + 1;
    while (end < lower.size() && (std::isalnum(static_cast<unsigned char>(lower[end])) || lower[end] == '-'))
      ++end;
    if (begin < at && end > at + 1 && at - begin < 16)
      sink.Add(std::string("auth:") + std::string(name) + ":", lower.substr(begin, end - begin));
    at = end;
  }
  const std::string_view first = std::string_view(lower).substr(0, lower.find_first_of(" ;("));
  if (name == "received-spf") sink.Add("auth:spf:", std::string(first));
}

bool Is(const std::string& name, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (name == n) return true;
  return false;
}

}  // namespace

std::vector<std::string> LearnTokens(THeaderLines headers) {
  TokenSink sink;
  const std::vector<Field> fields = FieldsOf(headers);
  size_t received = 0;
  bool hasDate = false, hasMessageId = false;
  std::string_view dateValue;
  const std::string* firstReceived = nullptr;
  for (const Field& f : fields) {
    const std::string& name = f.name;
    sink.Add("n:", name);
    if (name.rfind("x-", 0) == 0) sink.Add("n:", "x-" + Shape(name.substr(2)));
    if (name == "received") {
      if (!firstReceived) firstReceived = &f.value;
      if (received++ < 8) AddReceived(sink, f.value);
    } else if (Is(name, {"from", "reply-to", "return-path", "sender", "errors-to"})) {
      AddAddress(sink, name, f.value);
      if (name == "from") {
        std::string_view display = f.value;
        const size_t open = display.find('<');
        display = open == std::string_view::npos ? std::string_view() : display.substr(0, open);
        const std::string decoded = DecodeHeaderText(display);
        if (Trimmed(decoded).empty()) sink.Add("a:from:", "-noname-");
        AddWords(sink, "a:from:name:", decoded);
      }
    } else if (Is(name, {"to", "cc"})) {
      size_t n = 0;
      for (char c : f.value) n += c == '@';
      const std::string address = AddressOf(f.value);
      if (n == 1) AddAddress(sink, name, f.value);
      if (address.empty()) sink.Add("a:" + name + ":", "none");
    } else if (name == "message-id") {
      hasMessageId = true;
      const std::string v = Lowered(f.value);
      const size_t at = v.rfind('@');
      if (at == std::string::npos) {
        sink.Add("mid:", "-noat-");
      } else {
        sink.Add("mid:local:", Shape(v.substr(0, at), 32));
        std::string domain = v.substr(at + 1);
        if (!domain.empty() && domain.back() == '>') domain.pop_back();
        AddHost(sink, "mid:", domain);
      }
    } else if (name == "subject") {
      AddSubject(sink, f.value);
    } else if (Is(name, {"x-mailer", "user-agent", "x-mimeole", "x-newsreader"})) {
      sink.Add("mailer:", Lowered(f.value.substr(0, 60)));
      AddWords(sink, "mailer:w:", f.value.substr(0, 120));
    } else if (name == "content-type") {
      AddContentType(sink, f.value);
    } else if (name == "date") {
      hasDate = true;
      dateValue = f.value;
      AddDate(sink, f.value);
    } else if (Is(name, {"authentication-results", "received-spf", "arc-authentication-results"})) {
      AddAuthentication(sink, name, f.value);
    } else if (Is(name, {"delivered-to", "x-original-to", "envelope-to", "list-id", "list-post",
                         "precedence", "x-priority", "x-msmail-priority", "importance",
                         "content-transfer-encoding", "mime-version", "x-mailing-list",
                         "mailing-list", "x-beenthere", "organization", "x-accept-language",
                         "x-loop", "x-mailman-version", "x-originating-ip"})) {
      AddWords(sink, "f:" + name + ":", f.value.substr(0, 200));
    }
  }
  if (!hasDate) sink.Add("date:", "-none-");
  // How far the sender's clock is from the first relay that received it: forged and
  // reused dates lie far off, a mail program's clock is within minutes.
  const TDateTime sent = hasDate ? MailDateToUtc(dateValue) : 0;
  if (hasDate && sent == 0) sink.Add("date:", "-unreadable-");
  const size_t semi = firstReceived ? firstReceived->rfind(';') : std::string::npos;
  const TDateTime arrived =
      semi == std::string::npos ? 0 : MailDateToUtc(std::string_view(*firstReceived).substr(semi + 1));
  if (sent != 0 && arrived != 0) {
    const double hours = (arrived - sent) * 24.0;
    sink.Add("date:skew:", hours < -0.25 ? "future"
                           : hours < 1   ? "minutes"
                           : hours < 24  ? "hours"
                           : hours < 168 ? "days"
                                         : "weeks");
  }
  if (!hasMessageId) sink.Add("mid:", "-none-");
  return sink.Take();
}

TStringList HeaderBlockOf(std::string_view raw) {
  TStringList lines;
  size_t at = 0;
  bool first = true;
  while (at < raw.size()) {
    size_t end = raw.find('\n', at);
    if (end == std::string_view::npos) end = raw.size();
    std::string_view line = raw.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // Blank lines and an mbox "From " line before the first field belong to no header.
    if (first && (line.empty() || line.rfind("From ", 0) == 0)) continue;
    first = false;
    if (line.empty()) break;
    lines.emplace_back(line);
  }
  return lines;
}

uint64_t LearnDigest(std::string_view text) {
  // FNV-1a, then a final mix so that near tokens spread over the whole table.
  uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  return h;
}

namespace {

std::vector<uint64_t> Digests(THeaderLines headers) {
  std::vector<uint64_t> out;
  for (const std::string& token : LearnTokens(headers)) out.push_back(LearnDigest(token));
  return out;
}

// Robinson's estimate: strength kStrength of the unknown-token belief kUnknown. Tokens nearer
// than kMinDeviation to one half say nothing and are left out of the combination.
// Header tokens come in correlated families (a mailing list adds a dozen), which the
// combination counts as independent evidence: only clearly telling tokens take part.
constexpr double kStrength = 0.1, kUnknown = 0.5, kMinDeviation = 0.4;

// Chi-square with 2 * n degrees of freedom at x2, as natural logarithms of its upper tail
// (the chance of exceeding x2) and of its lower part, both exact also where the chance is far
// too small for a double: e^-m * sum of m^i / i! over i < n, and over i >= n, with m = x2 / 2.
struct LogChiSquare {
  double upper = 0, lower = 0;
};

double LogSumExp(double a, double b) {
  const double top = std::max(a, b);
  if (top == -INFINITY) return top;
  return top + std::log(std::exp(a - top) + std::exp(b - top));
}

LogChiSquare ChiSquareLogs(double x2, size_t n) {
  const double m = x2 / 2.0;
  if (m <= 0) return {0.0, -INFINITY};
  const double logM = std::log(m);
  double term = -m, upper = -m;
  for (size_t i = 1; i < n; ++i) {
    term += logM - std::log(double(i));
    upper = LogSumExp(upper, term);
  }
  // The lower part: from i = n on, until its terms stop counting.
  double lower = -INFINITY;
  for (size_t i = n; i < n + 100000; ++i) {
    term += logM - std::log(double(i));
    lower = LogSumExp(lower, term);
    if (double(i) > m && term < lower - 40) break;
  }
  // One of the two is near 1: it is the one taken from the other, which is exact.
  if (upper > lower)
    upper = std::log1p(-std::exp(lower));
  else
    lower = std::log1p(-std::exp(upper));
  return {std::min(upper, 0.0), std::min(lower, 0.0)};
}

// A probability given as its logarithm, kept as it is down to 1e-10 and below that drawn in
// slowly, so that messages far beyond all doubt still stay apart from each other and from 0.
double Tempered(double logP) {
  constexpr double kFloor = -23.025850929940457;  // ln 1e-10
  return std::exp(logP >= kFloor ? logP : kFloor + (logP - kFloor) / 100.0);
}

}  // namespace

uint16_t TLearner::DayNumber() {
  using namespace std::chrono;
  const auto days = duration_cast<hours>(system_clock::now().time_since_epoch()).count() / 24;
  return uint16_t(std::clamp<int64_t>(days, 1, 65535));
}

void TLearner::Clear() {
  tokens_.clear();
  marks_.clear();
  spamCount_ = safeCount_ = 0;
}

void TLearner::Count(const std::vector<uint64_t>& tokens, TMark mark, int delta, uint16_t today) {
  uint32_t& total = mark == TMark::Spam ? spamCount_ : safeCount_;
  total = delta > 0 ? total + 1 : (total > 0 ? total - 1 : 0);
  for (uint64_t token : tokens) {
    if (delta > 0) {
      Counts& c = tokens_[token];
      (mark == TMark::Spam ? c.spam : c.safe) += 1;
      c.day = today;
      continue;
    }
    const auto found = tokens_.find(token);
    if (found == tokens_.end()) continue;  // pruned since
    uint32_t& n = mark == TMark::Spam ? found->second.spam : found->second.safe;
    if (n > 0) --n;
    if (found->second.spam == 0 && found->second.safe == 0) tokens_.erase(found);
  }
}

bool TLearner::Mark(THeaderLines headers, TMark mark, uint16_t today) {
  const uint64_t key = LearnDigest(MessageKey(headers));
  const auto found = marks_.find(key);
  const TMark before = found == marks_.end() ? TMark::None : found->second.mark;
  if (before == mark) return false;
  const std::vector<uint64_t> tokens = Digests(headers);
  if (before != TMark::None) Count(tokens, before, -1, today);
  if (mark != TMark::None) {
    Count(tokens, mark, +1, today);
    marks_[key] = {mark, today};
  } else {
    marks_.erase(key);
  }
  return true;
}

TLearner::TMark TLearner::MarkOf(THeaderLines headers) const {
  const auto found = marks_.find(LearnDigest(MessageKey(headers)));
  return found == marks_.end() ? TMark::None : found->second.mark;
}

double TLearner::TokenProbability(const Counts& c) const {
  const double spamRate = double(c.spam) / double(spamCount_);
  const double safeRate = double(c.safe) / double(safeCount_);
  const double p = spamRate / (spamRate + safeRate);
  const double n = double(c.spam + c.safe);
  return (kStrength * kUnknown + n * p) / (kStrength + n);
}

double TLearner::Probability(THeaderLines headers) const {
  if (spamCount_ == 0 || safeCount_ == 0) return 0.5;
  double logSpam = 0, logSafe = 0;  // sums of ln f and ln (1 - f)
  size_t used = 0;
  for (const std::string& token : LearnTokens(headers)) {
    const auto found = tokens_.find(LearnDigest(token));
    if (found == tokens_.end()) continue;
    const double f = TokenProbability(found->second);
    if (std::fabs(f - 0.5) < kMinDeviation) continue;
    logSpam += std::log(f);
    logSafe += std::log1p(-f);
    ++used;
  }
  if (used == 0) return 0.5;
  // Fisher: how unlikely the token estimates would be if they were random, towards spam and
  // towards safe; the probability is the balance of the two, (1 + safeTail - spamTail) / 2.
  const LogChiSquare safe = ChiSquareLogs(-2.0 * logSpam, used);  // upper small when f are low
  const LogChiSquare spam = ChiSquareLogs(-2.0 * logSafe, used);  // upper small when f are high
  if (safe.upper > spam.upper)  // above one half: 1 - p = (safe.lower + spam.upper) / 2
    return 1.0 - Tempered(LogSumExp(safe.lower, spam.upper) - std::log(2.0));
  return Tempered(LogSumExp(safe.upper, spam.lower) - std::log(2.0));
}

void TLearner::Prune(uint16_t today) {
  for (auto it = tokens_.begin(); it != tokens_.end();) {
    const bool rare = it->second.spam + it->second.safe <= 1;
    if (rare && today > it->second.day && today - it->second.day > kPruneDays)
      it = tokens_.erase(it);
    else
      ++it;
  }
  if (tokens_.size() <= kMaxTokens) return;
  // The least seen first, and among them the oldest.
  std::vector<std::pair<uint64_t, uint64_t>> order;  // (rank, token)
  order.reserve(tokens_.size());
  for (const auto& [token, c] : tokens_) {
    const uint64_t seen = std::min<uint64_t>(c.spam + c.safe, 0xFFFF);
    order.emplace_back((seen << 16) | c.day, token);
  }
  const size_t drop = tokens_.size() - kMaxTokens * 3 / 4;
  std::nth_element(order.begin(), order.begin() + ptrdiff_t(drop), order.end());
  for (size_t i = 0; i < drop; ++i) tokens_.erase(order[i].second);
}

// ---- the stored state ----
//
// "NLRN" 1, then varints: spam count, safe count, token count, mark count; the tokens sorted by
// digest, each as the difference to the one before, its spam and safe counts and its day; the
// marks the same way, each with its mark and day.

namespace {

constexpr char kMagic[] = "NLRN\x01";

void PutVarint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out += char(uint8_t(v) | 0x80);
    v >>= 7;
  }
  out += char(v);
}

uint64_t GetVarint(std::string_view bytes, size_t& at) {
  uint64_t v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (at >= bytes.size()) throw std::runtime_error("the learned state is cut short");
    const auto b = static_cast<unsigned char>(bytes[at++]);
    v |= uint64_t(b & 0x7F) << shift;
    if ((b & 0x80) == 0) return v;
  }
  throw std::runtime_error("the learned state is damaged");
}

}  // namespace

std::string TLearner::Save() const {
  std::string out(kMagic, sizeof kMagic - 1);
  PutVarint(out, spamCount_);
  PutVarint(out, safeCount_);
  PutVarint(out, tokens_.size());
  PutVarint(out, marks_.size());
  std::vector<uint64_t> keys;
  keys.reserve(tokens_.size());
  for (const auto& entry : tokens_) keys.push_back(entry.first);
  std::sort(keys.begin(), keys.end());
  uint64_t last = 0;
  for (uint64_t key : keys) {
    const Counts& c = tokens_.at(key);
    PutVarint(out, key - last);
    PutVarint(out, c.spam);
    PutVarint(out, c.safe);
    PutVarint(out, c.day);
    last = key;
  }
  keys.clear();
  for (const auto& entry : marks_) keys.push_back(entry.first);
  std::sort(keys.begin(), keys.end());
  last = 0;
  for (uint64_t key : keys) {
    const Learned& l = marks_.at(key);
    PutVarint(out, key - last);
    PutVarint(out, uint8_t(l.mark));
    PutVarint(out, l.day);
    last = key;
  }
  return out;
}

void TLearner::Load(std::string_view bytes) {
  Clear();
  try {
    if (bytes.substr(0, sizeof kMagic - 1) != std::string_view(kMagic, sizeof kMagic - 1))
      throw std::runtime_error("this is not a learned state of this version");
    size_t at = sizeof kMagic - 1;
    const uint64_t spam = GetVarint(bytes, at), safe = GetVarint(bytes, at);
    const uint64_t tokens = GetVarint(bytes, at), marks = GetVarint(bytes, at);
    // Each token takes at least four bytes and each mark three: counts beyond that are damage,
    // and must not reserve memory for it.
    if (spam > UINT32_MAX || safe > UINT32_MAX || tokens > bytes.size() / 4 || marks > bytes.size() / 3)
      throw std::runtime_error("the learned state is damaged");
    tokens_.reserve(tokens);
    uint64_t key = 0;
    for (uint64_t i = 0; i < tokens; ++i) {
      key += GetVarint(bytes, at);
      Counts c;
      const uint64_t s = GetVarint(bytes, at), h = GetVarint(bytes, at), d = GetVarint(bytes, at);
      if (s > UINT32_MAX || h > UINT32_MAX || d > 0xFFFF) throw std::runtime_error("the learned state is damaged");
      c.spam = uint32_t(s);
      c.safe = uint32_t(h);
      c.day = uint16_t(d);
      tokens_[key] = c;
    }
    key = 0;
    marks_.reserve(marks);
    for (uint64_t i = 0; i < marks; ++i) {
      key += GetVarint(bytes, at);
      const uint64_t m = GetVarint(bytes, at), d = GetVarint(bytes, at);
      if (m < 1 || m > 2 || d > 0xFFFF) throw std::runtime_error("the learned state is damaged");
      marks_[key] = {TMark(m), uint16_t(d)};
    }
    if (at != bytes.size()) throw std::runtime_error("the learned state is damaged");
    spamCount_ = uint32_t(spam);
    safeCount_ = uint32_t(safe);
  } catch (...) {
    Clear();
    throw;
  }
}

namespace {
constexpr const char* kLearnItem = "Tokens";
std::string LearnPath(const std::string& folder) {
  return (std::filesystem::path(folder) / kLearnFile).string();
}
}  // namespace

void LoadLearner(const std::string& folder, TLearner& learner) {
  learner.Clear();
  const std::string path = LearnPath(folder);
  if (!std::filesystem::exists(path)) return;
  TQDB store;
  store.SetReadOnly(true);
  store.WarnNoData = [](TQDB&) {};
  try {
    store.SetFileName(path);
    if (store.ExactMatch(kLearnItem)) {
      TMemoryStream item;
      store.GetItem(item);
      learner.Load(item.Bytes());
    }
    store.SetFileName("");
  } catch (const std::exception& e) {
    CloseWithoutSaving(store);
    throw std::runtime_error(path + ": " + e.what());
  }
}

void SaveLearner(const std::string& folder, const TLearner& learner) {
  const std::string path = LearnPath(folder);
  TQDB store;
  store.WarnNoData = [](TQDB&) {};  // replacing the only item empties the store for a moment
  try {
    store.SetFileName(path);
    if (store.ExactMatch(kLearnItem)) store.KillItem();
    TMemoryStream item;
    item.Assign(learner.Save());
    store.AddItem(item, kLearnItem);
  } catch (...) {
    CloseWithoutSaving(store);
    throw;
  }
  store.SetFileName("");
}

}  // namespace norva
