// norva-cli qdb: inspect and change record-store files.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace norva::cli {

// Runs "qdb dump|get|put ..."; returns the process exit status.
int QdbCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
               std::ostream& err);

}  // namespace norva::cli
