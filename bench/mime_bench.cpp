// Times Norva's MIME decoder and encoder on the corpus of bench/mime_corpus.py. Every file's
// bytes are read into memory first; then, per group of the manifest (small, large), each
// message is copied into a TMemoryStream and decoded by TmsMessage::LoadFromStream, and the
// bytes of every attachment are read; then every decoded message is encoded by SaveToStream
// into a TMemoryStream. Prints one JSON line: wall and CPU seconds of each pass, bytes in and
// out, peak RSS.
//
// --verify times nothing: it checks each decoded message against the manifest (sender, To, Cc,
// subject, text body, attachment names and bytes), encodes it, decodes the result and checks
// that again. The decoder gives subject and body as UTF-8 text, unflowed where the part is
// format=flowed, which is how the manifest holds them. --write OUT keeps the encoded messages
// in OUT under the same names.
//
// Usage: mime_bench DIR [--manifest FILE] [--verify] [--write OUT]
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "mail/msmsgcls.h"
#include "store/QDBCrypt.h"

namespace {

using norva::TMemoryStream;
using norva::TmsMessage;

const char* const kGroups[] = {"small", "large"};

struct Attachment {
  std::string name;
  size_t size = 0;
  std::string sha256;
  bool operator==(const Attachment&) const = default;
};

// What a message must decode to, from one line of manifest.tsv.
struct Expected {
  std::string file, group, sender, subject, bodySha256;
  std::vector<std::string> to, cc;
  std::vector<Attachment> attachments;
};

// What a decoded message holds, in the same terms.
struct Observed {
  std::string sender, subject, bodySha256;
  std::vector<std::string> to, cc;
  std::vector<Attachment> attachments;
};

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1)
    parts.push_back(text.substr(start, at - start));
  parts.push_back(text.substr(start));
  return parts;
}

std::vector<std::string> NonEmpty(const std::vector<std::string>& items) {
  std::vector<std::string> out;
  for (const auto& item : items)
    if (!item.empty()) out.push_back(item);
  return out;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += char(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + name);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<Expected> ReadManifest(const std::string& name) {
  std::vector<Expected> entries;
  std::ifstream in(name);
  if (!in) throw std::runtime_error("cannot read " + name);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> f = Split(line, '\t');
    if (f.size() < 10) throw std::runtime_error("bad manifest line: " + line);
    Expected e;
    e.file = f[0];
    e.group = f[1];
    e.sender = f[3];
    e.to = NonEmpty(Split(f[4], ','));
    e.cc = NonEmpty(Split(f[5], ','));
    e.subject = FromHex(f[6]);
    e.bodySha256 = f[7];
    for (const auto& item : NonEmpty(Split(f[8], '|'))) {
      const std::vector<std::string> a = Split(item, '/');
      if (a.size() != 3) throw std::runtime_error("bad attachment in manifest: " + item);
      e.attachments.push_back({a[0], std::stoul(a[1]), a[2]});
    }
    entries.push_back(std::move(e));
  }
  return entries;
}

// The code point of the UTF-8 sequence at text[i], and its length in n; U+FFFD and 1 for a
// byte that starts no valid sequence.
char32_t NextCodePoint(const std::string& text, size_t i, size_t& n) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = byte(i);
  n = c < 0x80                ? 1
      : c >= 0xC2 && c < 0xE0 ? 2
      : c >= 0xE0 && c < 0xF0 ? 3
      : c >= 0xF0 && c < 0xF5 ? 4
                              : 0;
  if (n == 1) return c;
  char32_t cp = n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
  for (size_t k = 1; n > 1 && k < n; ++k) {
    if (i + k >= text.size() || (byte(i + k) & 0xC0) != 0x80)
      n = 0;
    else
      cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  const char32_t least = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
  if (n == 0 || cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
    n = 1;
    return 0xFFFD;
  }
  return cp;
}

// A JSON string of UTF-8 text, everything outside printable ASCII escaped; a byte that is not
// UTF-8 shows as U+FFFD.
std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0, n = 1; i < text.size(); i += n) {
    const char32_t cp = NextCodePoint(text, i, n);
    char escape[16];
    if (cp == '"' || cp == '\\') {
      out += '\\';
      out += char(cp);
    } else if (cp >= 0x20 && cp < 0x7F) {
      out += char(cp);
    } else if (cp < 0x10000) {
      std::snprintf(escape, sizeof escape, "\\u%04x", unsigned(cp));
      out += escape;
    } else {  // a surrogate pair
      const char32_t v = cp - 0x10000;
      std::snprintf(escape, sizeof escape, "\\u%04x\\u%04x", unsigned(0xD800 + (v >> 10)),
                    unsigned(0xDC00 + (v & 0x3FF)));
      out += escape;
    }
  }
  return out + "\"";
}

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ",") + item;
  return out;
}

std::string Describe(const std::vector<Attachment>& items) {
  std::string out;
  for (const auto& a : items)
    out += (out.empty() ? "" : "|") + a.name + "/" + std::to_string(a.size) + "/" + a.sha256;
  return out;
}

// The bytes of every attachment and body line are read, so that nothing the decoder left for
// later goes untimed; the sum is printed, so the reading cannot be optimised away.
uint64_t Touch(const TmsMessage& m, uint64_t& bytes) {
  uint64_t sum = 0;
  for (int32_t i = 0; i < m.Attachments.Count(); ++i) {
    const std::string& data = m.Attachments.Items(i).Data.Bytes();
    for (unsigned char c : data) sum += c;
    bytes += data.size();
  }
  for (const auto& line : m.Body) bytes += line.size();
  return sum;
}

std::unique_ptr<TmsMessage> Decode(const std::string& raw) {
  TMemoryStream source;
  source.Assign(raw);
  auto m = std::make_unique<TmsMessage>();
  m->LoadFromStream(source);
  return m;
}

struct Pass {
  std::string name;
  size_t messages = 0;
  uint64_t inputBytes = 0;
  double seconds = 0, cpuSeconds = 0;
};

int Timed(const std::string& dir, const std::vector<Expected>& entries) {
  std::vector<std::string> raw;
  uint64_t inputBytes = 0;
  for (const auto& e : entries) {
    raw.push_back(ReadFile(dir + "/" + e.file));
    inputBytes += raw.back().size();
  }
  std::vector<std::unique_ptr<TmsMessage>> decoded(entries.size());
  std::vector<Pass> passes;
  uint64_t touched = 0, checksum = 0, outputBytes = 0;
  int decodeErrors = 0, encodeErrors = 0;
  std::string firstError;
  auto fail = [&](int& count, size_t i, const std::exception& error) {
    ++count;
    if (firstError.empty()) firstError = entries[i].file + ": " + error.what();
  };

  for (const char* group : kGroups) {
    Pass pass{std::string("decode ") + group};
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].group != group) continue;
      ++pass.messages;
      pass.inputBytes += raw[i].size();
      try {
        decoded[i] = Decode(raw[i]);
        checksum += Touch(*decoded[i], touched);
      } catch (const std::exception& error) {
        fail(decodeErrors, i, error);
      }
    }
    pass.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    pass.cpuSeconds = CpuSeconds() - cpu0;
    passes.push_back(pass);
  }

  for (const char* group : kGroups) {
    Pass pass{std::string("encode ") + group};
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].group != group || !decoded[i]) continue;
      ++pass.messages;
      pass.inputBytes += raw[i].size();
      try {
        TMemoryStream out;
        decoded[i]->SaveToStream(out);
        outputBytes += out.Bytes().size();
      } catch (const std::exception& error) {
        fail(encodeErrors, i, error);
      }
    }
    pass.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    pass.cpuSeconds = CpuSeconds() - cpu0;
    passes.push_back(pass);
  }

  std::printf(
      "{\"client\": \"norva\", \"messages\": %zu, \"input_bytes\": %llu, \"output_bytes\": %llu, "
      "\"touched_bytes\": %llu, \"checksum\": %llu, \"decode_errors\": %d, "
      "\"encode_errors\": %d, \"first_error\": %s, \"peak_rss_kb\": %ld, \"passes\": {",
      entries.size(), (unsigned long long)inputBytes, (unsigned long long)outputBytes,
      (unsigned long long)touched, (unsigned long long)checksum, decodeErrors, encodeErrors,
      Quote(firstError).c_str(), PeakRssKb());
  for (size_t p = 0; p < passes.size(); ++p)
    std::printf(
        "%s\"%s\": {\"messages\": %zu, \"input_bytes\": %llu, \"seconds\": %.6f, "
        "\"cpu_seconds\": %.6f}",
        p ? ", " : "", passes[p].name.c_str(), passes[p].messages,
        (unsigned long long)passes[p].inputBytes, passes[p].seconds, passes[p].cpuSeconds);
  std::printf("}}\n");
  return 0;
}

// ---- verify ----

Observed Observe(const TmsMessage& m) {
  Observed o;
  o.sender = m.Sender.Address.str();
  o.subject = m.Subject.str();
  for (int32_t i = 0; i < m.Recipients.Count(); ++i)
    o.to.push_back(m.Recipients.Items(i).Address.str());
  for (int32_t i = 0; i < m.CC.Count(); ++i) o.cc.push_back(m.CC.Items(i).Address.str());
  // The body's lines joined by LF, without trailing empty lines, as the manifest has it.
  size_t lines = m.Body.size();
  while (lines > 0 && m.Body[lines - 1].empty()) --lines;
  std::string body;
  for (size_t i = 0; i < lines; ++i) body += (i ? "\n" : "") + m.Body[i];
  o.bodySha256 = norva::Sha256Hex(body);
  for (int32_t i = 0; i < m.Attachments.Count(); ++i) {
    const auto& a = m.Attachments.Items(i);
    o.attachments.push_back(
        {a.FileName().str(), a.Data.Bytes().size(), norva::Sha256Hex(a.Data.Bytes())});
  }
  return o;
}

struct Report {
  int checked = 0, errors = 0;
  std::map<std::string, int> mismatches;
  std::vector<std::string> examples;

  void Note(const std::string& key, const std::string& file, const std::string& got,
            const std::string& want) {
    if (mismatches[key]++ < 3)
      examples.push_back(key + " " + file + ": got " + got + ", want " + want);
  }
};

void Compare(const Observed& got, const Expected& want, const std::string& stage, Report& r) {
  const std::string& f = want.file;
  if (got.sender != want.sender) r.Note(stage + " sender", f, got.sender, want.sender);
  if (got.to != want.to) r.Note(stage + " to", f, Join(got.to), Join(want.to));
  if (got.cc != want.cc) r.Note(stage + " cc", f, Join(got.cc), Join(want.cc));
  if (got.subject != want.subject) r.Note(stage + " subject", f, got.subject, want.subject);
  if (got.bodySha256 != want.bodySha256)
    r.Note(stage + " body_sha256", f, got.bodySha256, want.bodySha256);
  if (got.attachments != want.attachments)
    r.Note(stage + " attachments", f, Describe(got.attachments), Describe(want.attachments));
}

int Verify(const std::string& dir, const std::vector<Expected>& entries, const std::string& out) {
  Report r;
  if (!out.empty()) std::filesystem::create_directories(out);
  for (const auto& e : entries) {
    try {
      std::unique_ptr<TmsMessage> m = Decode(ReadFile(dir + "/" + e.file));
      Compare(Observe(*m), e, "decode", r);
      TMemoryStream encoded;
      m->SaveToStream(encoded);
      if (!out.empty()) encoded.SaveToFile(out + "/" + e.file);
      Compare(Observe(*Decode(encoded.Bytes())), e, "roundtrip", r);
      ++r.checked;
    } catch (const std::exception& error) {
      ++r.errors;
      r.examples.push_back("error " + e.file + ": " + error.what());
    }
  }
  std::printf("{\"client\": \"norva\", \"mode\": \"verify\", \"checked\": %d, \"errors\": %d, ",
              r.checked, r.errors);
  std::printf("\"mismatches\": {");
  const char* separator = "";
  for (const auto& [key, count] : r.mismatches) {
    std::printf("%s%s: %d", separator, Quote(key).c_str(), count);
    separator = ", ";
  }
  std::printf("}, \"examples\": [");
  for (size_t i = 0; i < r.examples.size(); ++i)
    std::printf("%s%s", i ? ", " : "", Quote(r.examples[i]).c_str());
  std::printf("]}\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir, manifest, out;
  bool verify = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--verify")) {
      verify = true;
    } else if (!std::strcmp(argv[i], "--manifest") && i + 1 < argc) {
      manifest = argv[++i];
    } else if (!std::strcmp(argv[i], "--write") && i + 1 < argc) {
      out = argv[++i];
    } else if (argv[i][0] != '-' && dir.empty()) {
      dir = argv[i];
    } else {
      std::fprintf(stderr, "usage: %s DIR [--manifest FILE] [--verify] [--write OUT]\n", argv[0]);
      return 2;
    }
  }
  if (dir.empty()) {
    std::fprintf(stderr, "usage: %s DIR [--manifest FILE] [--verify] [--write OUT]\n", argv[0]);
    return 2;
  }
  try {
    const std::vector<Expected> entries =
        ReadManifest(manifest.empty() ? dir + "/manifest.tsv" : manifest);
    return verify ? Verify(dir, entries, out) : Timed(dir, entries);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mime_bench: %s\n", e.what());
    return 1;
  }
}
