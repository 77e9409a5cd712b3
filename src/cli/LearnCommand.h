// norva-cli learn and classify: train the header learner of a program folder on raw message
// files, and print the spam probability it gives files.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace norva::cli {

// "learn [--folder DIR] (--spam | --ham) FILE..."; returns the exit status.
int LearnCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
// "classify [--folder DIR] FILE..."; one line per file: the probability, a space, the name.
int ClassifyCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

extern const char kLearnHelp[];

}  // namespace norva::cli
