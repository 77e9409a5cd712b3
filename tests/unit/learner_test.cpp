// The spam learner: what it takes from a header block, how it combines what it learned, and
// the state it keeps in the program folder.
#include "app/Learner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace norva {
namespace {

using testing::TempDir;
using TMark = TLearner::TMark;

// A header block as a 2026 sender and its relays write it; the folded Received line and the
// encoded subject are where tokens are easy to lose.
TStringList Block(const std::string& from, const std::string& subject, const std::string& relay,
                  const std::string& id, const std::string& extra = "") {
  TStringList lines = {
      "Return-Path: <" + from + ">",
      "Received: from mx.example.net (mx.example.net [192.0.2.7])",
      "\tby pop.example.org (Dovecot) with LMTP id 1a2b3c",
      "\tfor <me@example.org>; Mon, 07 Dec 2026 10:00:00 +0000",
      "Received: from " + relay,
      "\tby mx.example.net (Postfix) with ESMTPS id 4B5C6D",
      "\tfor <me@example.org>; Mon, 07 Dec 2026 09:59:58 +0000",
      "From: Sender <" + from + ">",
      "To: me@example.org",
      "Subject: " + subject,
      "Date: Mon, 07 Dec 2026 09:59:50 +0000",
      "Message-ID: <" + id + ">",
      "MIME-Version: 1.0",
      "Content-Type: text/plain; charset=\"utf-8\"",
  };
  if (!extra.empty()) lines.push_back(extra);
  return lines;
}

TStringList Spam(int n) {
  return Block("win" + std::to_string(n) + "@prize-" + std::to_string(n % 3) + ".biz",
               "=?utf-8?b?WU9VIEhBVkUgV09OISEh?= $" + std::to_string(1000 * n),
               "203.0.113." + std::to_string(n) + " (unknown [203.0.113." + std::to_string(n) + "])",
               std::to_string(n) + ".ABCDEF@prize.biz", "X-Mailer: Bulk Sender 5.1");
}

TStringList Safe(int n) {
  return Block("anna" + std::to_string(n) + "@lists.example.com",
               "Re: [dev] build notes for release " + std::to_string(n),
               "lists.example.com (lists.example.com [198.51.100.20])",
               "20261207.abc" + std::to_string(n) + "@lists.example.com",
               "List-Id: Developers <dev.lists.example.com>");
}

bool Has(const std::vector<std::string>& tokens, const std::string& token) {
  return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
}

TEST(LearnerTokens, EachFieldGivesTheTokensItIsKnownBy) {
  const std::vector<std::string> tokens = LearnTokens(Spam(7));
  struct Case {
    const char* token;
    const char* why;
  } cases[] = {
      {"n:x-mailer", "field names"},
      {"r:helo-ip", "a HELO that is an address"},
      {"r:unknown", "a sending address without a name"},
      {"rip:203.0.113", "the sender's network, from a continuation-free line"},
      {"rb:h:mx.example.net", "the receiving host, on a folded line"},
      {"r:with:esmtps", "the protocol, on a folded line"},
      {"a:from:d:prize-1.biz", "the sender's domain"},
      {"a:return-path:h:prize-1.biz", "the envelope sender's domain"},
      {"s:you", "a subject word, decoded from base64 and lower-cased"},
      {"s:won", "a subject word"},
      {"s:-mark-!", "the subject's marks"},
      {"s:-enc-utf-8?b", "the form the subject was encoded in"},
      {"mailer:bulk sender 5.1", "the mailer, whole"},
      {"ct:text/plain", "the content type"},
      {"ct:charset:utf-8", "the charset"},
      {"date:zone:+0000", "the date's zone"},
      {"mid:h:prize.biz", "the Message-ID's domain"},
  };
  for (const Case& c : cases) EXPECT_TRUE(Has(tokens, c.token)) << c.token << " (" << c.why << ")";
  // The recipient's own address says nothing about the sender.
  EXPECT_FALSE(Has(tokens, "rb:h:me@example.org"));
  EXPECT_EQ(std::set<std::string>(tokens.begin(), tokens.end()).size(), tokens.size())
      << "each token once";
}

TEST(LearnerTokens, UnspacedScriptsGiveCharacterPairs) {
  // "特価セール" (bargain sale) in an encoded subject: no spaces, so its pairs are the words.
  const std::vector<std::string> a =
      LearnTokens(TStringList{"Subject: =?utf-8?b?54m55L6h44K744O844Or?=", "From: a@b.jp"});
  const std::vector<std::string> b =
      LearnTokens(TStringList{"Subject: =?utf-8?b?5aSn54m55L6h?=", "From: c@d.jp"});  // 大特価
  std::vector<std::string> shared;
  for (const std::string& t : a)
    if (t.rfind("s:u:", 0) == 0 && Has(b, t)) shared.push_back(t);
  EXPECT_EQ(shared, std::vector<std::string>{"s:u:29305.20385"}) << "特価 in both";
}

TEST(LearnerTokens, HeaderBlockOfARawMessage) {
  struct Case {
    std::string raw;
    TStringList lines;
  } cases[] = {
      {"From a@b  Mon Dec  7 10:00:00 2026\nSubject: x\n\nbody\n", {"Subject: x"}},
      {"Subject: x\r\nTo: y\r\n\r\nFrom: not a header\r\n", {"Subject: x", "To: y"}},
      {"Subject: x\n\tfolded", {"Subject: x", "\tfolded"}},
      {"\r\n\nFrom a@b  Mon Dec  7 2026\nTo: y\n", {"To: y"}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(HeaderBlockOf(c.raw), c.lines) << c.raw;
}

TEST(Learner, LooksAlikeAreClassifiedByWhatWasLearned) {
  TLearner learner;
  EXPECT_EQ(learner.Probability(Spam(1)), 0.5) << "nothing learned";
  for (int i = 0; i < 20; ++i) learner.Mark(Spam(i), TMark::Spam);
  EXPECT_EQ(learner.Probability(Spam(50)), 0.5) << "only one class learned";
  for (int i = 0; i < 40; ++i) learner.Mark(Safe(i), TMark::Safe);
  EXPECT_EQ(learner.SpamCount(), 20u);
  EXPECT_EQ(learner.SafeCount(), 40u);
  EXPECT_GT(learner.Probability(Spam(77)), 0.99);
  EXPECT_LT(learner.Probability(Safe(77)), 0.01);
  // Far beyond doubt the probability still orders messages: a look-alike with one telling
  // field less scores lower, and nothing reaches 1 or 0, where a threshold could not part them.
  TStringList lessSpam = Spam(77);
  lessSpam.pop_back();  // its X-Mailer
  EXPECT_LT(learner.Probability(lessSpam), learner.Probability(Spam(77)));
  EXPECT_LT(learner.Probability(Spam(77)), 1.0);
  EXPECT_GT(learner.Probability(Safe(77)), 0.0);
  EXPECT_EQ(learner.Probability(TStringList{"Comments: nothing known"}), 0.5);
}

TEST(Learner, MarkingAgainCorrectsInsteadOfCounting) {
  TLearner learner;
  for (int i = 0; i < 10; ++i) learner.Mark(Safe(i), TMark::Safe);
  for (int i = 0; i < 10; ++i) learner.Mark(Spam(i), TMark::Spam);
  const double before = learner.Probability(Spam(99));
  const size_t tokens = learner.TokenCount();

  EXPECT_FALSE(learner.Mark(Spam(3), TMark::Spam)) << "the same mark again changes nothing";
  EXPECT_EQ(learner.SpamCount(), 10u);

  // The same message (same Message-ID) marked safe: it moves from spam to safe.
  EXPECT_TRUE(learner.Mark(Spam(3), TMark::Safe));
  EXPECT_EQ(learner.MarkOf(Spam(3)), TMark::Safe);
  EXPECT_EQ(learner.SpamCount(), 9u);
  EXPECT_EQ(learner.SafeCount(), 11u);
  EXPECT_LT(learner.Probability(Spam(99)), before);

  // Back to spam, then forgotten: the counts return to where they were without it.
  EXPECT_TRUE(learner.Mark(Spam(3), TMark::Spam));
  EXPECT_EQ(learner.Probability(Spam(99)), before);
  EXPECT_TRUE(learner.Mark(Spam(3), TMark::None));
  EXPECT_EQ(learner.MarkOf(Spam(3)), TMark::None);
  EXPECT_EQ(learner.SpamCount(), 9u);
  EXPECT_LE(learner.TokenCount(), tokens);
}

TEST(Learner, StateRoundTripsAndDamageIsRefused) {
  TLearner learner;
  for (int i = 0; i < 5; ++i) learner.Mark(Spam(i), TMark::Spam, 20000);
  for (int i = 0; i < 5; ++i) learner.Mark(Safe(i), TMark::Safe, 20000);
  const std::string state = learner.Save();

  TLearner loaded;
  loaded.Load(state);
  EXPECT_EQ(loaded.Save(), state);
  EXPECT_EQ(loaded.Probability(Spam(9)), learner.Probability(Spam(9)));
  EXPECT_EQ(loaded.MarkOf(Safe(2)), TMark::Safe);

  std::string hugeCount = std::string("NLRN\x01", 5) + "\x01\x01" + "\xff\xff\xff\xff\x0f" + "\x00";
  const std::string damaged[] = {
      "",
      "NOTIT",
      state.substr(0, state.size() - 1),  // cut short
      state + "x",                        // trailing bytes
      hugeCount,                          // counts more tokens than the bytes can hold
      std::string("NLRN\x01", 5) + "\x00\x00\x00\x01" + "\x01\x01" + "\x05\x00",  // mark 5
  };
  for (const std::string& bytes : damaged) {
    TLearner l = loaded;
    EXPECT_THROW(l.Load(bytes), std::runtime_error) << bytes.size();
    EXPECT_TRUE(l.Empty());
    EXPECT_EQ(l.TokenCount(), 0u);
  }
}

TEST(Learner, PruningDropsRareOldTokensAndKeepsTheRest) {
  TLearner learner;
  const uint16_t day = 20000;
  learner.Mark(Spam(1), TMark::Spam, day);
  learner.Mark(Spam(2), TMark::Spam, day);  // shares most tokens with Spam(1)
  learner.Mark(Safe(1), TMark::Safe, day + 200);
  const size_t all = learner.TokenCount();
  learner.Prune(day + 100);
  EXPECT_EQ(learner.TokenCount(), all) << "nothing is old enough yet";
  learner.Prune(day + 200);
  EXPECT_LT(learner.TokenCount(), all) << "tokens of one old message go";
  TLearner fresh;
  fresh.Mark(Safe(1), TMark::Safe, day + 200);
  EXPECT_GT(learner.TokenCount(), fresh.TokenCount()) << "tokens seen twice stay";
  EXPECT_EQ(learner.SpamCount(), 2u) << "the counts of messages stay";
}

TEST(Learner, FolderStateSurvivesARestartAndADamagedFileIsNamed) {
  TempDir dir;
  TLearner learner;
  LoadLearner(dir.Path(), learner);
  EXPECT_TRUE(learner.Empty()) << "no file yet";
  for (int i = 0; i < 8; ++i) learner.Mark(Spam(i), TMark::Spam);
  for (int i = 0; i < 8; ++i) learner.Mark(Safe(i), TMark::Safe);
  SaveLearner(dir.Path(), learner);
  learner.Mark(Safe(8), TMark::Safe);
  SaveLearner(dir.Path(), learner);  // replaces the state

  TLearner again;
  LoadLearner(dir.Path(), again);
  EXPECT_EQ(again.SafeCount(), 9u);
  EXPECT_EQ(again.Probability(Spam(40)), learner.Probability(Spam(40)));

  testing::WriteFile(dir.File(kLearnFile), "not a record store");
  try {
    LoadLearner(dir.Path(), again);
    FAIL() << "a damaged file must not load";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find(kLearnFile), std::string::npos) << e.what();
  }
  EXPECT_TRUE(again.Empty());
}

}  // namespace
}  // namespace norva
