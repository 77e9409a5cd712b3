// norva-cli check: check the mailboxes of a program folder as the main window does and print
// the message list.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace norva::cli {

// Runs "check [--folder DIR] [--mailbox N] [--delete-spam] [--json]"; returns the exit status.
int CheckCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The folder of an existing configuration (DIR made absolute, else the program's own folder),
// made the program folder of this run so that archives and the outbox go beside it. Raises an
// error when the folder holds no Config.QDB: a command must not set up an empty one.
std::string UseConfiguredFolder(const std::string& folder);

// The command and its JSON form, which scripts rely on.
extern const char kCheckHelp[];

}  // namespace norva::cli
