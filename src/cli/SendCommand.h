// norva-cli send: writes a message as the message window does, queues it in the outbox and
// sends the outbox.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace norva::cli {

// Runs "send [--folder DIR] --to ADDR[,ADDR...] [--subject S] [--body-file F] [--attach F]...";
// returns the exit status.
int SendCommand(const std::vector<std::string>& args, std::ostream& err);

extern const char kSendHelp[];

}  // namespace norva::cli
