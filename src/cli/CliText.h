// How norva-cli writes texts: bytes as JSON text and back, and bytes made safe for a terminal.
#pragma once

#include <string>
#include <string_view>

namespace norva::cli {

// Bytes as code points U+0000-U+00FF, written in UTF-8, so JSON carries any byte unchanged.
std::string ToJsonText(std::string_view bytes);
// The reverse: a code point above U+00FF is an error.
std::string FromJsonText(const std::string& text);
// Text for a terminal, as the windows show it: UTF-8 when it is valid UTF-8, else Latin-1;
// control characters (C0, DEL, C1) as \xHH, so that text from a server cannot steer the terminal.
std::string Printable(std::string_view bytes);
// Printable, line by line: the lines of a text of several go on lines of their own, indented
// two blanks, so that none can pass for a line of its own kind.
std::string PrintableLines(std::string_view text);

// How long a command that writes the program folder waits for another Norva process to let go
// of it (--wait SECONDS); 0, the default, fails at once.
double& LockWaitSeconds();

}  // namespace norva::cli
