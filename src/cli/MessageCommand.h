// norva-cli decode and encode: messages to and from JSON.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace norva::cli {

// "decode FILE": the decoded message as JSON on out.
int DecodeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
// "encode FILE.json": the encoded message on out.
int EncodeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The JSON form of messages: texts are the model's Unicode text; attachments are described by
// size and digest (decode) or carried as base64 (encode), so their bytes stay exact.
extern const char kMessageJsonHelp[];

}  // namespace norva::cli
