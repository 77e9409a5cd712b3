// norva-cli decode and encode: a message as JSON and back.
#include "cli/MessageCommand.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "cli/CliText.h"
#include "mail/msmsgcls.h"
#include "mail/msuucode.h"
#include "store/QDBCrypt.h"

namespace norva::cli {

using nlohmann::json;

const char kMessageJsonHelp[] =
    "Message JSON (decode writes it, encode reads it):\n"
    "  {\"sender\": {\"name\", \"address\"}, \"recipients\": [{\"name\", \"address\"}] (To),\n"
    "   \"cc\": [...], \"bcc\": [...], \"subject\", \"priority\": 0|1|2 (low, normal, high),\n"
    "   \"return_receipt\": bool, \"encoding\": \"meMIME\"|\"meUU\",\n"
    "   \"charset\": \"csUSASCII\"|\"csISO8859\"|\"csISO2022jp\", \"content_type\",\n"
    "   \"headers\": [lines], \"body\": [lines],\n"
    "   \"attachments\": [{\"file_name\", \"content_type\",\n"
    "                     \"transfer_encoding\": "
    "\"aeSevenBit\"|\"aeBase64\"|\"aeQuotedPrintable\",\n"
    "                     \"size\", \"sha256\"}]}\n"
    "  decode also writes \"html\" (the message's HTML view, \"\" when it has none; without a\n"
    "  plain text part, body is its text rendering), \"date\" (the Date header as written),\n"
    "  \"date_iso\" (that date as YYYY-MM-DDThh:mm:ss with the sender's offset, or null when it\n"
    "  cannot be read) and \"message_id\"; encode ignores them.\n"
    "  encode takes \"data_base64\" (line breaks allowed) instead of size and sha256; file_name\n"
    "  derives the content type and transfer encoding, which content_type and transfer_encoding\n"
    "  override.\n"
    "  Texts are Unicode strings: the decoded text of the message, whatever charset it came in\n"
    "  (headers are the raw lines, read as UTF-8, else as Windows-1252); bytes that do not\n"
    "  convert from their charset show as U+FFFD. Attachments keep their exact bytes: size\n"
    "  and sha256 describe them, data_base64 carries them.\n";

namespace {

const char* const kEncodings[] = {"meMIME", "meUU"};
const char* const kCharSets[] = {"csUSASCII", "csISO8859", "csISO2022jp"};
const char* const kTransfer[] = {"aeSevenBit", "aeBase64", "aeQuotedPrintable"};

json Lines(const TStringList& lines) {
  json array = json::array();
  for (const auto& line : lines) array.push_back(ToJsonText(line));
  return array;
}

json Address(const TmsMailAddress& a) {
  return {{"name", ToJsonText(a.Name)}, {"address", ToJsonText(a.Address)}};
}

json Addresses(const TmsAddressList& list) {
  json array = json::array();
  for (int32_t i = 0; i < list.Count(); ++i) array.push_back(Address(list.Items(i)));
  return array;
}

// The offset of a mail date's zone ("+0900", "-0500 (EST)", "GMT", "EDT") as "+09:00"; "" when
// the zone is missing or unknown.
std::string IsoOffset(const std::string& zone) {
  const std::optional<int> minutes = MailZoneOffset(zone);
  if (!minutes) return "";
  char text[16];
  std::snprintf(text, sizeof text, "%c%02d:%02d", *minutes < 0 ? '-' : '+', std::abs(*minutes) / 60,
                std::abs(*minutes) % 60);
  return text;
}

// A mail date as ISO 8601 in the sender's zone; null when the date cannot be read.
json IsoDate(const std::string& text) {
  TDateTime when = 0;
  std::string zone;
  ParseMailDate(text, when, zone);
  if (when == 0) return nullptr;
  int year, month, day, hour, minute, second;
  DecodeDateTime(when, year, month, day, hour, minute, second);
  char iso[32];
  std::snprintf(iso, sizeof iso, "%04d-%02d-%02dT%02d:%02d:%02d", year, month, day, hour, minute,
                second);
  return std::string(iso) + IsoOffset(zone);
}

template <size_t N>
int IndexOf(const char* const (&names)[N], const std::string& name, const char* what) {
  for (size_t i = 0; i < N; ++i)
    if (name == names[i]) return int(i);
  throw std::runtime_error(std::string("unknown ") + what + " \"" + name + "\"");
}

// JSON strings arrive as UTF-8 (the parser refuses anything else), as the model holds text.
std::string Text(const json& object, const char* key) {
  return object.contains(key) ? object.at(key).get<std::string>() : std::string();
}

void ReadAddresses(const json& object, const char* key, TmsAddressList& list) {
  if (!object.contains(key)) return;
  for (const auto& entry : object.at(key))
    list.AddAddress(Text(entry, "address"), Text(entry, "name"));
}

// Into a body (TStringList) or a header block (TmsHeaders).
template <class Lines>
void ReadLines(const json& object, const char* key, Lines& lines) {
  if (!object.contains(key)) return;
  for (const auto& line : object.at(key)) lines.push_back(line.get<std::string>());
}

std::string ReadFileBytes(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + name);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

int DecodeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() != 1) {
    err << "usage: norva-cli decode FILE\n";
    return 2;
  }
  try {
    TMemoryStream source;
    source.Assign(ReadFileBytes(args[0]));
    TmsMessage m;
    m.LoadFromStream(source);
    json attachments = json::array();
    for (int32_t i = 0; i < m.Attachments.Count(); ++i) {
      const TmsAttItem& a = m.Attachments.Items(i);
      attachments.push_back({{"file_name", ToJsonText(a.FileName())},
                             {"content_type", ToJsonText(a.ContentType)},
                             {"transfer_encoding", kTransfer[a.TransferEncoding % 3]},
                             {"size", a.Data.Bytes().size()},
                             {"sha256", Sha256Hex(a.Data.Bytes())}});
    }
    json headers = json::array();
    for (const std::string_view line : m.Headers) headers.push_back(RawToUtf8(line));
    const std::string date = GetFieldValue(m.Headers, "Date");
    json doc = {{"sender", Address(m.Sender)},
                {"recipients", Addresses(m.Recipients)},
                {"cc", Addresses(m.CC)},
                {"bcc", Addresses(m.BCC)},
                {"subject", ToJsonText(m.Subject)},
                {"date", ToJsonText(date)},
                {"date_iso", IsoDate(date)},
                {"message_id", ToJsonText(GetFieldValue(m.Headers, "Message-ID"))},
                {"priority", int(m.Priority)},
                {"return_receipt", m.ReturnReceipt},
                {"encoding", kEncodings[m.Encoding % 2]},
                {"charset", kCharSets[m.CharSet % 3]},
                {"content_type", ToJsonText(m.ContentType())},
                {"headers", headers},
                {"body", Lines(m.Body)},
                {"html", ToJsonText(m.Html)},
                {"attachments", attachments}};
    out << doc.dump(2) << "\n";
    return 0;
  } catch (const std::exception& e) {
    err << "norva-cli: " << Printable(e.what()) << "\n";
    return 1;
  }
}

int EncodeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() != 1) {
    err << "usage: norva-cli encode FILE.json\n";
    return 2;
  }
  try {
    const json doc = json::parse(ReadFileBytes(args[0]));
    TmsMessage m;
    if (doc.contains("sender")) {
      m.Sender.Name = Text(doc.at("sender"), "name");
      m.Sender.Address = Text(doc.at("sender"), "address");
    }
    ReadAddresses(doc, "recipients", m.Recipients);
    ReadAddresses(doc, "cc", m.CC);
    ReadAddresses(doc, "bcc", m.BCC);
    m.Subject = Text(doc, "subject");
    int priority = doc.value("priority", int(ptNormal));
    if (priority < 0 || priority > 2) throw std::runtime_error("priority must be 0, 1 or 2");
    m.Priority = TPriority(priority);
    m.ReturnReceipt = doc.value("return_receipt", false);
    if (doc.contains("encoding"))
      m.Encoding = TMsgEncoding(IndexOf(kEncodings, doc.at("encoding"), "encoding"));
    if (doc.contains("charset"))
      m.CharSet = TCharSet(IndexOf(kCharSets, doc.at("charset"), "charset"));
    ReadLines(doc, "headers", m.Headers);
    ReadLines(doc, "body", m.Body);
    if (doc.contains("attachments")) {
      for (const auto& entry : doc.at("attachments")) {
        auto item = std::make_unique<TmsAttItem>();
        item->SetFileName(Text(entry, "file_name"));
        if (entry.contains("content_type")) item->ContentType = Text(entry, "content_type");
        if (entry.contains("transfer_encoding"))
          item->TransferEncoding =
              TAttEncoding(IndexOf(kTransfer, entry.at("transfer_encoding"), "transfer encoding"));
        std::string data;
        if (entry.contains("data_base64")) {
          // Base64 as encoders write it may come in lines; the blanks carry nothing.
          std::string base64 = entry.at("data_base64").get<std::string>();
          std::erase_if(base64,
                        [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
          // The decoder of received mail skips stray characters; typed input is refused.
          const bool valid = std::all_of(base64.begin(), base64.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=';
          });
          if (!valid)
            throw std::runtime_error("the data_base64 of attachment \"" + item->FileName().str() +
                                     "\" is not base64");
          Base64DecodeLine(base64, data);
        }
        item->Data.Assign(std::move(data));
        m.Attachments.Add(std::move(item));
      }
    }
    if (doc.contains("content_type")) m.SetContentType(Text(doc, "content_type"));
    TMemoryStream encoded;
    m.SaveToStream(encoded);
    out.write(encoded.Bytes().data(), std::streamsize(encoded.Bytes().size()));
    return 0;
  } catch (const std::exception& e) {
    err << "norva-cli: " << Printable(e.what()) << "\n";
    return 1;
  }
}

}  // namespace norva::cli
