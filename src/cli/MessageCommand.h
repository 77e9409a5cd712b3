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

// The JSON form of messages. Texts are bytes: every byte maps to the code point of the same
// value (U+0000-U+00FF) and back, so nothing is lost.
extern const char kMessageJsonHelp[];

}  // namespace norva::cli
