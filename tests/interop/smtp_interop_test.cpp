// TmsSMTP against a real SMTP server on loopback: the aiosmtpd sink started by the smtp_sink
// CTest fixture (tests/interop/smtp_fixture.sh), which writes the sink's settings to a file. The
// sink stores each message as it received it, dot-stuffing undone, with its envelope beside it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>

#include "mail/mssmtp.h"
#include "store/Pump.h"
#include "support/Helpers.h"
#include "support/TempDir.h"

namespace norva {
namespace {
namespace fs = std::filesystem;
using testing::ReadFile;

// The sink's envelope file without its layout blanks, to compare parts of it as text.
std::string Compact(std::string json) {
  std::erase_if(json, [](char c) { return c == ' ' || c == '\n'; });
  return json;
}

// A message that keeps the bytes its encoder wrote, to compare with what the sink stored (the
// multipart boundary differs from one encoding to the next).
class TRecordedMessage : public TmsMessage {
 public:
  std::string Written;
  void SaveToStream(TStream& stream) override {
    TmsMessage::SaveToStream(stream);
    stream.SetPosition(0);
    Written.assign(size_t(stream.Size()), '\0');
    stream.ReadBuffer(Written.data(), int64_t(Written.size()));
  }
};

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = char(random());
  return bytes;
}

void Attach(TmsMessage& m, const std::string& name, std::string data) {
  auto item = std::make_unique<TmsAttItem>();
  item->SetFileName(name);
  item->Data.Assign(std::move(data));
  m.Attachments.Add(std::move(item));
}

class SmtpInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = std::getenv("NORVA_SMTP_SETTINGS");  // to run the binary by hand
    settings_ = testing::ReadSettings(path ? path : NORVA_SMTP_SETTINGS);
    if (settings_.count("SMTP_SKIP")) GTEST_SKIP() << settings_["SMTP_SKIP"];
    if (!settings_.count("SMTP_PORT")) GTEST_SKIP() << "no sink: run through ctest";
    SetMessagePump({});
    smtp_.Server = "127.0.0.1:" + settings_["SMTP_PORT"];
    smtp_.SetTimeOut(30);
    smtp_.SetWinsockLoaded(true);
    message_.Sender.Address = "ann@from.test";
    message_.Sender.Name = "Ann A. Sender";
    message_.Recipients.AddAddress("rob@to.test", "Rob");
    message_.Subject = "Interop";
  }
  void TearDown() override {
    if (smtp_.IsOpen()) smtp_.Close();
  }

  // Sends message_ in a session of its own; returns what the sink stored and its envelope.
  std::pair<std::string, std::string> Deliver() {
    const fs::path dir = settings_["SMTP_DIR"];
    size_t stored = 0;
    for (const auto& entry : fs::directory_iterator(dir))
      stored += entry.path().extension() == ".eml";
    smtp_.MailMessage = &message_;
    smtp_.Connect();
    smtp_.SendMail();
    smtp_.Disconnect();
    char base[16];
    std::snprintf(base, sizeof base, "%06zu", stored + 1);  // the sink numbers from 1
    EXPECT_TRUE(fs::exists(dir / (std::string(base) + ".eml"))) << base;
    return {ReadFile(dir / (std::string(base) + ".eml")),
            Compact(ReadFile(dir / (std::string(base) + ".json")))};
  }
  void ExpectStoredAsWritten(const std::string& stored) {
    ASSERT_FALSE(message_.Written.empty());
    EXPECT_TRUE(stored == message_.Written)
        << "the sink stored other bytes than were encoded: " << stored.size() << " for "
        << message_.Written.size();
  }

  std::map<std::string, std::string> settings_;
  TRecordedMessage message_;
  TmsSMTP smtp_;
};

TEST_F(SmtpInterop, PlainMessageWithDotLinesAndAFullEnvelope) {
  message_.Recipients.AddAddress("second@to.test", "");
  message_.CC.AddAddress("carl@cc.test", "Carl");
  message_.BCC.AddAddress("bea@bcc.test", "Bea");
  message_.Body = {"Hello,", ".", "..", "...", ".NET and .hidden", "", "bye", "."};
  const auto [eml, json] = Deliver();
  ExpectStoredAsWritten(eml);
  EXPECT_NE(eml.find("\r\n.\r\n..\r\n...\r\n.NET and .hidden\r\n"), std::string::npos) << eml;
  EXPECT_EQ(eml.find("bea@bcc.test"), std::string::npos) << "BCC is in the envelope only";
  EXPECT_NE(json.find(R"("mail_from":"ann@from.test","rcpt_tos":["rob@to.test","second@to.test",)"
                      R"("carl@cc.test","bea@bcc.test"])"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find(Compact("\"helo\": \"" + smtp_.LocalHostName + "\"")), std::string::npos)
      << json;
}

TEST_F(SmtpInterop, MultipartMessageWithAttachments) {
  message_.Body = {"See the attachments.", ".starts with a dot"};
  Attach(message_, "notes.txt", ".hidden line\r\n.\r\nlast line\r\n");
  Attach(message_, "dots.eml", ".\r\n..\r\n.x\r\n");
  message_.Attachments.Items(1).TransferEncoding = aeSevenBit;  // its lines go out as they are
  Attach(message_, "image.png", RandomBytes(5000, 1));
  const std::string eml = Deliver().first;
  ExpectStoredAsWritten(eml);
  EXPECT_NE(eml.find("multipart/mixed"), std::string::npos);
  EXPECT_NE(eml.find("\r\n.\r\n..\r\n.x\r\n"), std::string::npos) << eml;
}

TEST_F(SmtpInterop, UuencodedMessage) {
  message_.Encoding = meUU;
  message_.Body = {"The file follows.", "."};
  // 45 bytes a line; the last line holds 14 and so begins with the length character ".".
  Attach(message_, "data.bin", RandomBytes(45 * 3 + 14, 2));
  const std::string eml = Deliver().first;
  ExpectStoredAsWritten(eml);
  EXPECT_NE(eml.find("begin 600 data.bin\r\n"), std::string::npos);
  const size_t grave = eml.find("\r\n`\r\nend\r\n");
  ASSERT_NE(grave, std::string::npos);
  EXPECT_EQ(eml[eml.rfind("\r\n", grave - 1) + 2], '.') << "the last data line";
}

TEST_F(SmtpInterop, LargeAttachmentInBothModes) {
  message_.Body = {"One megabyte follows."};
  Attach(message_, "big.bin", RandomBytes(1 << 20, 3));
  for (bool blocking : {false, true}) {
    SCOPED_TRACE(blocking);
    smtp_.Blocking = blocking;
    int32_t last = 0;
    int calls = 0;
    smtp_.OnProgress = [&](TObject&, int32_t, int32_t n) {
      if (n) last = n;
      ++calls;
    };
    const std::string eml = Deliver().first;
    ExpectStoredAsWritten(eml);
    EXPECT_GT(eml.size(), size_t(1) << 20);
    EXPECT_EQ(last, int32_t(eml.size() + 3)) << "no line begins with a dot; then the . line";
    EXPECT_GT(calls, 100);
  }
}

}  // namespace
}  // namespace norva
