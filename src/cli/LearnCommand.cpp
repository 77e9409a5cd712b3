#include "cli/LearnCommand.h"

#include <charconv>
#include <filesystem>
#include <iostream>
#include <optional>

#include "app/LearnImport.h"
#include "app/Learner.h"
#include "cli/CliText.h"
#include "config/Options.h"
#include "store/FolderLock.h"

namespace norva::cli {

const char kLearnHelp[] =
    "learn: teaches the spam learner of the program folder (--folder DIR, else the program's own\n"
    "folder; its file Learn.QDB) that each FILE, a raw message (.eml, or a file of the form a\n"
    "mail server keeps), is spam (--spam) or safe (--ham). Only the header block of a file is\n"
    "read, as a check sees it. A message learned before (known by its Message-ID) is moved to the\n"
    "class given now, and counted once. The learner is used by rules with the filter \"Learned\n"
    "spam probability greater than: \" and trained by marking messages in the desktop program.\n"
    "classify: prints for each FILE one line: its spam probability from 0 to 1, a space, and the\n"
    "file name. 0.5 means the learner cannot tell (it knows no spam or no safe message yet).\n"
    "usage: norva-cli learn [--folder DIR] (--spam | --ham) FILE...\n"
    "       norva-cli classify [--folder DIR] FILE...\n";

namespace {

struct Arguments {
  std::string folder;
  std::optional<TLearner::TMark> mark;
  std::vector<std::string> files;
};

bool Parse(const std::vector<std::string>& args, bool learning, Arguments& parsed,
           std::ostream& err) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--folder") {
      if (i + 1 >= args.size()) {
        err << "norva-cli: --folder needs a folder\n";
        return false;
      }
      parsed.folder = args[++i];
    } else if (learning && (a == "--spam" || a == "--ham")) {
      const TLearner::TMark mark = a == "--spam" ? TLearner::TMark::Spam : TLearner::TMark::Safe;
      if (parsed.mark && *parsed.mark != mark) {
        err << "norva-cli: give either --spam or --ham\n";
        return false;
      }
      parsed.mark = mark;
    } else if (a == "--") {
      parsed.files.insert(parsed.files.end(), args.begin() + ptrdiff_t(i) + 1, args.end());
      break;
    } else if (a.size() > 1 && a[0] == '-') {
      err << "norva-cli: unknown option '" << a << "'\n";
      return false;
    } else {
      parsed.files.push_back(a);
    }
  }
  if (learning && !parsed.mark) {
    err << "norva-cli: say whether the files are spam (--spam) or safe (--ham)\n";
    return false;
  }
  if (parsed.files.empty()) {
    err << "norva-cli: no message file given\n";
    return false;
  }
  if (parsed.folder.empty()) {
    parsed.folder = ProgramFolder();
  } else {
    parsed.folder = std::filesystem::absolute(parsed.folder).lexically_normal().string();
    if (parsed.folder.size() > 1 && parsed.folder.back() == '/') parsed.folder.pop_back();
  }
  return true;
}

// The header block of a message file; false, with the reason told, when it cannot be read.
bool ReadHeaders(const std::string& file, TStringList& headers, std::ostream& err) {
  try {
    headers = ReadMessageHeaders(file);
    return true;
  } catch (const std::exception& e) {
    err << "norva-cli: " << e.what() << "\n";
    return false;
  }
}

std::string Number(double p) {
  char text[400];
  const auto [end, error] = std::to_chars(text, text + sizeof text, p, std::chars_format::fixed);
  return error == std::errc() ? std::string(text, end) : "0.5";
}

}  // namespace

int LearnCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Arguments a;
  if (!Parse(args, true, a, err)) {
    err << "usage: norva-cli learn [--folder DIR] (--spam | --ham) FILE...\n";
    return 2;
  }
  try {
    std::filesystem::create_directories(a.folder);
    FolderLock lock(a.folder, "norva-cli learn", LockWaitSeconds());
    TLearner learner;
    LoadLearner(a.folder, learner);
    size_t learned = 0, already = 0, empty = 0, failed = 0;
    for (const std::string& file : a.files) {
      TStringList headers;
      if (!ReadHeaders(file, headers, err)) {
        ++failed;
        continue;
      }
      if (headers.empty()) {
        err << "norva-cli: " << file << ": no header block, nothing learned from it\n";
        ++empty;
        continue;
      }
      (learner.Mark(headers, *a.mark) ? learned : already) += 1;
    }
    learner.Prune();
    SaveLearner(a.folder, learner);
    out << "learned " << learned << (*a.mark == TLearner::TMark::Spam ? " spam" : " safe")
        << (learned == 1 ? " message" : " messages");
    if (already > 0) out << " (" << already << " learned so already)";
    if (empty > 0) out << " (" << empty << " without a header block)";
    out << "; the learner knows " << learner.SpamCount() << " spam and " << learner.SafeCount()
        << " safe messages\n";
    return failed > 0 ? 1 : 0;
  } catch (const std::exception& e) {
    err << "norva-cli: " << e.what() << "\n";
    return 1;
  }
}

int ClassifyCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Arguments a;
  if (!Parse(args, false, a, err)) {
    err << "usage: norva-cli classify [--folder DIR] FILE...\n";
    return 2;
  }
  try {
    TLearner learner;
    LoadLearner(a.folder, learner);
    if (learner.Empty()) err << "norva-cli: the learner in " << a.folder << " knows no message yet\n";
    int status = 0;
    for (const std::string& file : a.files) {
      TStringList headers;
      if (!ReadHeaders(file, headers, err)) {
        status = 1;
        continue;
      }
      out << Number(learner.Probability(headers)) << " " << file << "\n";
    }
    return status;
  } catch (const std::exception& e) {
    err << "norva-cli: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace norva::cli
