// norva-cli qdb: inspect and change record-store files.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "store/FileIO.h"

namespace norva::cli {

// The working folder for reading a store without the folder's lock: in the store's own folder,
// so that its copy stays there, else in the program folder; none when neither can take one.
std::unique_ptr<fileio::WorkingFolder> WorkingFolderFor(const std::string& storeFile);

// Runs "qdb dump|get|put ..."; returns the process exit status.
int QdbCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
               std::ostream& err);

}  // namespace norva::cli
