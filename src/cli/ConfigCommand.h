// norva-cli config: show and change the configuration of a program folder.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace norva::cli {

// Runs "config [--folder DIR] VERB ..."; returns the process exit status.
int ConfigCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                  std::ostream& err);

// The verbs and their arguments, with the rule codes.
std::string ConfigHelp();

}  // namespace norva::cli
