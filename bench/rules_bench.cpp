// Times rule evaluation alone: 10,000 header blocks, made like those of
// tests/interop/fill-mailbox.py, each added as a row of the main window's list and classified by
// TfrmMain::SpamCheckMsg with the rules and check lists of a program folder (prepared by
// bench/setup-ruleset.sh). Each run uses a new main window, so the check lists are read from
// disk once per run, as in a fresh norva-cli check. Prints a markdown fragment on stdout.
// Usage: rules_bench --folder DIR [--runs N (5)] [--blocks N (10000)]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/Main.h"
#include "cli/HeadlessDesktop.h"
#include "config/Options.h"
#include "store/Pump.h"

namespace {

using norva::TmsRemoteInfoItem;

// The senders, subjects and header mix of fill-mailbox.py, with its own deterministic generator.
const char* const kWords[] = {"meeting", "report",  "budget",   "project",  "schedule", "review",
                              "draft",   "invoice", "update",   "release",  "server",   "backup",
                              "network", "quarter", "team",     "lunch",    "agenda",   "notes",
                              "build",   "patch",   "customer", "contract", "deadline", "travel",
                              "office",  "holiday", "summary"};
const char* const kHam[][2] = {{"Alice Example", "alice@example.org"},
                               {"Bob Builder", "bob@corp.example"},
                               {"Carol Smith", "carol@example.net"},
                               {"Dev List", "dev-list@lists.example.org"}};
const char* const kSpam[][2] = {{"Prize Center", "winner@lucky-prize.example"},
                                {"Pharmacy Online", "sales@cheap-meds.example"},
                                {"Bank Security", "security@bank-verify.example"},
                                {"", "noreply@bulk-mailer.example"}};
const char* const kSpamSubjects[] = {
    "You are a WINNER!!! Claim your prize now", "FREE money - 100% guaranteed",
    "Cheap pills without prescription", "URGENT: verify your account today",
    "Make $5000 a week from home"};
const char* const kEncodedSubjects[] = {
    "=?utf-8?Q?Gr=C3=BC=C3=9Fe_aus_M=C3=BCnchen?=",
    "=?UTF-8?B?0J/RgNC40LLQtdGCLCDQutCw0Log0LTQtdC70LA/?=",
    "=?utf-8?B?5pel5pys6Kqe44Gu5Lu25ZCN44OG44K5?=\r\n =?utf-8?B?44OI?=",
    "=?iso-8859-1?Q?Caf=E9_cr=E8me_=E0_la_fran=E7aise?="};
const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct Generator {
  std::mt19937 rng;
  explicit Generator(uint32_t seed) : rng(seed) {}
  uint32_t Below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }
  std::string Sentence(int words) {
    std::string s;
    for (int i = 0; i < words; ++i) (s += i ? " " : "") += kWords[Below(std::size(kWords))];
    s[0] = char(s[0] - 'a' + 'A');
    return s;
  }
};

// Header lines as the POP3 directory holds them: folded lines stay lines of their own.
void AddLines(norva::TmsHeaders& headers, const std::string& text) {
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    headers.push_back(text.substr(start, end - start));
  headers.push_back(text.substr(start));
}

std::unique_ptr<TmsRemoteInfoItem> Block(int i) {
  Generator g(uint32_t(i) * 2654435761u + 1);
  const bool spam = g.Chance(0.15), encoded = g.Chance(0.2);
  const auto& sender = spam ? kSpam[g.Below(4)] : kHam[g.Below(4)];
  std::string name = sender[0];
  if (encoded && !name.empty() && g.Chance(0.5))
    name = "=?utf-8?Q?" + name + "_=C3=9Cn=C3=AFc=C3=B8d=C3=A9?=";
  else if (!name.empty())
    name = "\"" + name + "\"";
  const std::string addr = sender[1];
  const std::string from = name.empty() ? addr : name + " <" + addr + ">";

  std::string subject;
  if (encoded)
    subject = (g.Chance(0.3) ? "Re: " : "") + std::string(kEncodedSubjects[g.Below(4)]);
  else if (spam)
    subject = kSpamSubjects[g.Below(5)];
  else
    subject = g.Sentence(2 + int(g.Below(7)));
  if (!encoded && g.Chance(0.1)) subject += "\r\n\t" + g.Sentence(14);

  const int minutes = i * 10 + int(g.Below(10));
  char date[64];
  std::snprintf(date, sizeof date, "%s, %d %s 2024 %02d:%02d:%02d +0100",
                kDays[(minutes / 1440) % 7], 1 + (minutes / 1440) % 28,
                kMonths[(minutes / 40320) % 12], (minutes / 60) % 24, minutes % 60,
                int(g.Below(60)));

  auto item = std::make_unique<TmsRemoteInfoItem>();
  auto& h = item->Headers;
  h.push_back("Return-Path: <" + addr + ">");
  char received[256];
  std::snprintf(received, sizeof received,
                "Received: from mx%d.example.net (mx%d.example.net [192.0.2.%d])\r\n\tby "
                "pop.test.example with ESMTP id %08X\r\n\t; %s",
                i % 7, i % 7, i % 250 + 1, unsigned(g.rng()), date);
  AddLines(h, received);
  h.push_back(std::string("Date: ") + date);
  h.push_back("From: " + from);
  h.push_back("To: Test User <test@test.example>");
  if (g.Chance(0.3)) h.push_back("Cc: carol@example.net, \"Dave D.\" <dave@example.com>");
  AddLines(h, "Subject: " + subject);
  if (i % 50 != 4)
    h.push_back("Message-ID: <" + std::to_string(i) + ".1." + std::to_string(g.Below(1000000000)) +
                "@fill.example>");
  if (subject.starts_with("Re: ")) {
    const std::string ref = "<" + std::to_string(std::max(i - 1, 0)) + ".1.ref@fill.example>";
    h.push_back("In-Reply-To: " + ref);
    h.push_back("References: " + ref);
  }
  if (spam) {
    h.push_back("X-Priority: 1 (Highest)");
    h.push_back("X-Mailer: BulkSender Pro 9.1");
  } else if (g.Chance(0.5)) {
    h.push_back("X-Mailer: FillMailbox/1.0");
  }
  h.push_back("MIME-Version: 1.0");
  switch (g.Below(3)) {
    case 0:
      h.push_back("Content-Type: text/plain; charset=us-ascii");
      h.push_back("Content-Transfer-Encoding: 7bit");
      break;
    case 1:
      h.push_back("Content-Type: multipart/alternative;");
      h.push_back("\tboundary=\"=_alt_1_" + std::to_string(i) + "\"");
      break;
    default:
      h.push_back("Content-Type: multipart/mixed; boundary=\"=_mix_1_" + std::to_string(i) + "\"");
  }
  // Mostly a few kilobytes, now and then a large attachment.
  item->Size = int32_t(1200 + g.Below(6000) + (g.Chance(0.05) ? g.Below(3000000) : 0));
  return item;
}

struct Usage {
  double wall = 0, cpu = 0;
};

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// 10000 as "10,000".
std::string Thousands(long n) {
  std::string digits = std::to_string(n);
  for (int at = int(digits.size()) - 3; at > 0; at -= 3) digits.insert(size_t(at), ",");
  return digits;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Outcome {
  int spam = 0, unknown = 0, safe = 0, urgent = 0, fired = 0;
  bool operator==(const Outcome&) const = default;
};

// One run: a new main window over the folder's configuration, every block a new row of the
// list, classified in list order.
Outcome Run(const std::string& folder, const std::vector<const TmsRemoteInfoItem*>& blocks,
            Usage& usage) {
  std::ostringstream boxes;  // message boxes are answered at once; nothing here shows any
  norva::cli::HeadlessDesktop desktop(boxes);
  norva::TfrmOptions options(folder);
  options.Load();
  norva::TfrmMain main(desktop, options);
  norva::TmsRemotePOP client;
  for (const TmsRemoteInfoItem* block : blocks)
    client.MessageInfo.Add(std::make_unique<TmsRemoteInfoItem>(*block));
  main.lsvMail.reserve(blocks.size());

  const double cpu0 = CpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  for (int32_t i = 0; i < int32_t(blocks.size()); ++i) {
    norva::TListRow row;
    row.Data = std::make_unique<norva::MessageListEntry>();
    row.Data->Client = &client;
    row.Data->InfoIndex = row.Data->MessageNumber = i;
    row.Data->MessageId = norva::GetFieldValue(blocks[size_t(i)]->Headers, "Message-ID");
    main.lsvMail.push_back(std::move(row));
    main.SpamCheckMsg(*main.lsvMail.back().Data);
  }
  usage.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  usage.cpu = CpuSeconds() - cpu0;

  Outcome outcome;
  for (const norva::TListRow& row : main.lsvMail) {
    const norva::MessageListEntry& e = *row.Data;
    (e.Status == 0 ? outcome.spam : e.Status == 2 ? outcome.safe : outcome.unknown) += 1;
    outcome.urgent += e.Urgent;
    outcome.fired += int(e.AppliedRules.size() / 2);
  }
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder;
  int runs = 5, count = 10000;
  for (int i = 1; i < argc; ++i) {
    const bool valued = i + 1 < argc;
    if (!std::strcmp(argv[i], "--folder") && valued)
      folder = argv[++i];
    else if (!std::strcmp(argv[i], "--runs") && valued)
      runs = std::max(1, std::atoi(argv[++i]));
    else if (!std::strcmp(argv[i], "--blocks") && valued)
      count = std::max(1, std::atoi(argv[++i]));
    else {
      std::fprintf(stderr, "usage: %s --folder DIR [--runs N] [--blocks N]\n", argv[0]);
      return 2;
    }
  }
  if (folder.empty()) {
    std::fprintf(stderr, "rules_bench: --folder DIR (prepared by bench/setup-ruleset.sh)\n");
    return 2;
  }
  norva::SetMessagePump({});

  std::vector<std::unique_ptr<TmsRemoteInfoItem>> owned;
  std::vector<const TmsRemoteInfoItem*> blocks;
  long bytes = 0;
  for (int i = 0; i < count; ++i) {
    owned.push_back(Block(i));
    blocks.push_back(owned.back().get());
    for (const std::string_view line : owned.back()->Headers) bytes += long(line.size()) + 2;
  }

  std::vector<double> walls, cpus;
  Outcome first;
  try {
    for (int r = 0; r < runs; ++r) {
      Usage usage;
      const Outcome outcome = Run(folder, blocks, usage);
      if (r == 0) first = outcome;
      if (!(outcome == first)) {
        std::fprintf(stderr, "rules_bench: run %d classified the blocks differently\n", r + 1);
        return 1;
      }
      walls.push_back(usage.wall);
      cpus.push_back(usage.cpu);
      std::fprintf(stderr, "run %d of %d: %.1f ms, %.1f ms CPU\n", r + 1, runs, usage.wall * 1e3,
                   usage.cpu * 1e3);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rules_bench: %s\n", e.what());
    return 1;
  }
  size_t rules = 0, lists = 0;
  {
    norva::TfrmOptions options(folder);
    options.Load();
    rules = options.lsvRule.size();
    lists = options.lstCList.size();
  }

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double wall = Median(walls), cpu = Median(cpus);
  std::printf(
      "| workload | median wall ms | CPU ms (user+sys) | peak RSS | per block µs | goal: "
      "under 1 s for 10,000 blocks |\n");
  std::printf("|---|--:|--:|--:|--:|---|\n");
  const double scaled = wall * 10000.0 / count;
  std::printf(
      "| %s header blocks (%.1f MB) through %zu rules and %zu check lists | "
      "%.1f | %.1f | %.1f MB | %.1f | %s (%.2f s) |\n",
      Thousands(count).c_str(), double(bytes) / 1e6, rules, lists, wall * 1e3, cpu * 1e3,
      double(usage.ru_maxrss) / 1024, wall * 1e6 / count, scaled < 1.0 ? "met" : "missed", scaled);
  std::printf(
      "\nMedian of %d runs; each run starts a new main window, so it reads both check "
      "lists once. Outcome (every run alike): %d spam, %d safe, %d unknown, %d urgent; "
      "%d rule actions.\n",
      runs, first.spam, first.safe, first.unknown, first.urgent, first.fired);
  return 0;
}
