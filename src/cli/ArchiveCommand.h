// norva-cli archive: list an archive file's messages and export them as mbox or .eml files.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace norva::cli {

extern const char kArchiveHelp[];

// Runs "archive list|export ..."; returns the process exit status.
int ArchiveCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace norva::cli
