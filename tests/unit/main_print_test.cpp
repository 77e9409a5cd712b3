// Printing the selected message of the list: the printed lines, the font, and when the command
// retrieves first or does nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/Main.h"
#include "support/FakeDesktop.h"
#include "support/TempDir.h"

namespace norva {
namespace {

using Lines = std::vector<std::string>;

class PrintDesktop : public testing::FakeDesktop {
 public:
  std::string Font;
  int PointSize = 0;
  bool PrintLines(const Lines& lines, const std::string& font, int pointSize) override {
    Font = font;
    PointSize = pointSize;
    return FakeDesktop::PrintLines(lines, font, pointSize);
  }
};

// Retrieval fills the message from Retrieved, or fails with Failure when it is set.
class PrintingMain : public TfrmMain {
 public:
  using TfrmMain::TfrmMain;
  std::unique_ptr<TmsMessage> Retrieved;
  std::string Failure;
  std::vector<bool> Reads;  // the connect argument of every retrieval

  void LeggiMsg(MessageListEntry& entry, bool connect) override {
    Reads.push_back(connect);
    if (!Failure.empty()) throw std::runtime_error(Failure);
    if (!Retrieved) return;
    entry.Message = std::move(Retrieved);
    entry.BodyRetrieved = true;
  }
};

std::unique_ptr<TmsMessage> Letter(const std::string& subject, const TmsHeaders& headers) {
  auto message = std::make_unique<TmsMessage>();
  message->Sender.Name = "Ann Smith";
  message->Sender.Address = "ann@x.test";
  message->Subject = subject;
  message->Headers = headers;
  message->Body = {"Hello,", "", "  indented line  ", "Ann"};
  return message;
}

class MainPrintTest : public ::testing::Test {
 protected:
  MessageListEntry& AddRow(bool selected) {
    TListRow row;
    row.Selected = selected;
    row.Data = std::make_unique<MessageListEntry>();
    main.lsvMail.push_back(std::move(row));
    return *main.lsvMail.back().Data;
  }

  testing::TempDir dir;
  PrintDesktop desktop;
  TfrmOptions options{dir.Path()};
  PrintingMain main{desktop, options};
};

const std::string kRule(80, '_');

TEST_F(MainPrintTest, RetrievedRowPrintsSummaryAndBodyWithoutReadingAgain) {
  AddRow(false);
  MessageListEntry& entry = AddRow(true);
  entry.FromArchive = entry.BodyRetrieved = true;
  entry.Message =
      Letter("Minutes", {"From: ann@x.test", "Date: Fri, 01 Mar 2024", "  08:00:00 +0100"});
  entry.Message->Recipients.AddAddress("bob@x.test", "Bob");
  entry.Message->Recipients.AddAddress("carol@x.test", "Carol");
  entry.Message->Recipients.AddAddress("dan@x.test", "Dan");
  entry.Message->CC.AddAddress("eve@x.test", "Eve");

  main.btnPrintClick();
  EXPECT_TRUE(main.Reads.empty());
  EXPECT_EQ(desktop.Font, "Courier New");
  EXPECT_EQ(desktop.PointSize, 8);
  ASSERT_EQ(desktop.Printed.size(), 1u);
  EXPECT_EQ(desktop.Printed[0],
            (Lines{"", kRule, "", "From:     Ann Smith<ann@x.test>", "To:       Bob<bob@x.test>",
                   "Subject:  Minutes", "Date:     Fri, 01 Mar 2024 08:00:00 +0100", kRule, "",
                   "Hello,", "", "  indented line  ", "Ann"}));
}

// Every selected row prints, in list order, each from a new page of the one job; an unread
// one is retrieved first. Missing fields print empty, a line break in the subject as blanks.
TEST_F(MainPrintTest, EverySelectedRowPrintsOnItsOwnPagesInOneJob) {
  for (const char* subject : {"one", "skipped", "two"}) {
    MessageListEntry& entry = AddRow(std::string(subject) != "skipped");
    entry.BodyRetrieved = true;
    entry.Message = Letter(subject, {});
  }
  AddRow(true);
  // No recipient, no Date field, and a subject whose decoded text holds a line break.
  main.Retrieved = Letter("first\r\nsecond", {"From: ann@x.test"});
  main.btnPrintClick();
  EXPECT_EQ(main.Reads, std::vector<bool>{true});
  ASSERT_EQ(desktop.Printed.size(), 1u);
  const Lines& printed = desktop.Printed[0];
  Lines subjects;
  int pageBreaks = 0;
  for (const std::string& line : printed) {
    if (line.rfind("Subject:", 0) == 0) subjects.push_back(line);
    pageBreaks += line == std::string(1, Desktop::kPageBreak);
  }
  EXPECT_EQ(subjects, (Lines{"Subject:  one", "Subject:  two", "Subject:  first  second"}));
  EXPECT_EQ(pageBreaks, 2);
  const auto last = std::find(printed.begin(), printed.end(), subjects.back());
  EXPECT_EQ(Lines(last - 1, last + 2), (Lines{"To:       ", subjects.back(), "Date:     "}));
}

TEST_F(MainPrintTest, NothingIsReadOrPrintedWhileBusyWithoutSelectionOrWhenReadingFails) {
  MessageListEntry& entry = AddRow(false);
  main.Retrieved = Letter("Minutes", {});
  main.btnPrintClick();  // no row selected

  main.lsvMail[0].Selected = true;
  main.Busy = true;
  main.btnPrintClick();
  EXPECT_TRUE(main.Reads.empty());

  main.Busy = false;
  main.Failure = "connection refused";
  main.btnPrintClick();
  EXPECT_EQ(desktop.Errors, Lines{"connection refused"});

  main.Failure.clear();
  main.Retrieved.reset();  // the retrieval brings nothing back
  main.btnPrintClick();
  EXPECT_EQ(main.Reads.size(), 2u);
  EXPECT_FALSE(entry.Message);
  EXPECT_TRUE(desktop.Printed.empty());
}

}  // namespace
}  // namespace norva
