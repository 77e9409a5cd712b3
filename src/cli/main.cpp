// norva-cli: Norva's headless tool.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "cli/ArchiveCommand.h"
#include "cli/CheckCommand.h"
#include "cli/CliText.h"
#include "cli/ConfigCommand.h"
#include "cli/LearnCommand.h"
#include "cli/MessageCommand.h"
#include "cli/QdbCommand.h"
#include "cli/SendCommand.h"
#include "config/DesktopKeyring.h"

namespace {
const char kHelp[] =
    "Norva - an e-mail checker with spam filtering and a small mailer.\n"
    "\n"
    "usage: norva-cli [--wait SECONDS] COMMAND [ARGUMENTS]\n"
    "\n"
    "One Norva program at a time works in a program folder: check, send and the config\n"
    "commands that change something lock it (its file norva.lock), and fail at once when\n"
    "another one (the desktop program, or another norva-cli) holds it. With --wait SECONDS\n"
    "(given before or after COMMAND) they wait that long for it instead.\n"
    "\n"
    "commands:\n"
    "  qdb dump FILE        list a record-store file's admin entries and items\n"
    "  qdb get FILE KEY     write an item's bytes to standard output\n"
    "  qdb put FILE KEY     store standard input as an item (replacing one with that key)\n"
    "  decode FILE          decode a raw message and print it as JSON\n"
    "  encode FILE.json     encode a message given as JSON and print the raw message\n"
    "  config [--folder DIR] show|add-account|remove-account|add-rule|remove-rule|\n"
    "         add-checklist|remove-checklist|add-checklist-line|remove-checklist-line|\n"
    "         add-template|remove-template|set-user-name|trust-cert ...\n"
    "                       show or change the configuration (below)\n"
    "  check [--folder DIR] [--mailbox N] [--delete-spam] [--json]\n"
    "                       check the mailboxes and print the message list (below)\n"
    "  send [--folder DIR] --to ADDR[,ADDR...] [--subject S] [--body-file F] [--attach F]...\n"
    "                       write a message and send it through the outbox (below)\n"
    "  archive list|export FILE.TMA ...\n"
    "                       list or export an archive's messages (below)\n"
    "  learn [--folder DIR] (--spam | --ham) FILE...\n"
    "                       teach the spam learner that raw message files are spam or safe\n"
    "  classify [--folder DIR] FILE...\n"
    "                       print the learned spam probability of raw message files (below)\n"
    "  help                 show this text\n";

int Run(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  // Passwords go to the desktop's keyring where there is one; a locked one is never prompted for.
  norva::SetDefaultSecretStore(norva::MakeDesktopKeyring(false));
  // --wait SECONDS may stand anywhere: before the command or among its arguments.
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "--wait") continue;
    const std::string value = i + 1 < args.size() ? args[i + 1] : "";
    double seconds = -1;
    const auto [last, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (value.empty() || error != std::errc() || last != value.data() + value.size() ||
        !(seconds >= 0 && seconds <= 86400)) {
      std::cerr << "norva-cli: --wait takes a number of seconds (0 to 86400)\n";
      return 2;
    }
    norva::cli::LockWaitSeconds() = seconds;
    args.erase(args.begin() + ptrdiff_t(i), args.begin() + ptrdiff_t(i) + 2);
    break;
  }
  if (args.empty() || args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
    std::cout << kHelp << "\n"
              << norva::cli::kMessageJsonHelp << "\n"
              << norva::cli::ConfigHelp() << "\n"
              << norva::cli::kCheckHelp << "\n"
              << norva::cli::kSendHelp << "\n"
              << norva::cli::kArchiveHelp << "\n"
              << norva::cli::kLearnHelp;
    return args.empty() ? 2 : 0;
  }
  if (args[0] == "qdb")
    return norva::cli::QdbCommand({args.begin() + 1, args.end()}, std::cin, std::cout, std::cerr);
  if (args[0] == "archive")
    return norva::cli::ArchiveCommand({args.begin() + 1, args.end()}, std::cout, std::cerr);
  if (args[0] == "decode")
    return norva::cli::DecodeCommand({args.begin() + 1, args.end()}, std::cout, std::cerr);
  if (args[0] == "encode")
    return norva::cli::EncodeCommand({args.begin() + 1, args.end()}, std::cout, std::cerr);
  if (args[0] == "config")
    return norva::cli::ConfigCommand({args.begin() + 1, args.end()}, std::cin, std::cout,
                                     std::cerr);
  if (args[0] == "check")
    return norva::cli::CheckCommand({args.begin() + 1, args.end()}, std::cout, std::cerr);
  if (args[0] == "learn")
    return norva::cli::LearnCommand({args.begin() + 1, args.end()}, std::cout, std::cerr);
  if (args[0] == "classify")
    return norva::cli::ClassifyCommand({args.begin() + 1, args.end()}, std::cout, std::cerr);
  if (args[0] == "send") return norva::cli::SendCommand({args.begin() + 1, args.end()}, std::cerr);
  std::cerr << "norva-cli: unknown command '" << args[0] << "'\n" << kHelp;
  return 2;
}

}  // namespace

// Every command has written and closed its files when it returns; what is left to do at exit is
// giving back memory, which ending the process does at once. So the output is flushed (an
// output that could not be written fails the command) and the process ends without teardown.
int main(int argc, char** argv) {
  int status = Run(argc, argv);
  std::cout.flush();
  if (std::fflush(stdout) != 0 || !std::cout) {
    std::cerr << "norva-cli: the output could not be written\n";
    if (status == 0) status = 1;
  }
  std::cerr.flush();
  std::fflush(nullptr);
  std::_Exit(status);
}
