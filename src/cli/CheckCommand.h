// norva-cli check: check the mailboxes of a program folder as the main window does and print
// the message list.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace norva::cli {

// Runs "check [--folder DIR] [--mailbox N] [--delete-spam] [--json]"; returns the exit status.
int CheckCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The command and its JSON form, which scripts rely on.
extern const char kCheckHelp[];

}  // namespace norva::cli
