// How norva-cli writes texts: message text as JSON strings, and text made safe for a terminal.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norva::cli {

// Text for a JSON string: valid UTF-8 as it stands; a byte that does not belong to a
// well-formed UTF-8 sequence becomes U+FFFD, so the JSON is always valid.
std::string ToJsonText(std::string_view text);
// Text for a terminal: UTF-8 as it stands; control characters (C0, DEL, C1) and bytes outside
// well-formed UTF-8 as \xHH, direction controls as \uHHHH, so that text from a server cannot
// steer the terminal or turn a name around.
std::string Printable(std::string_view text);
// Printable, line by line: the lines of a text of several go on lines of their own, indented
// two blanks, so that none can pass for a line of its own kind.
std::string PrintableLines(std::string_view text);

// How long a command that writes the program folder waits for another Norva process to let go
// of it (--wait SECONDS); 0, the default, fails at once.
double& LockWaitSeconds();

// Takes what a command built up (a long message list, a mailbox's header blocks) out of the
// objects that hold it, so that their destructors do not walk it: the process ends soon, and
// ending gives the memory back at once. Only memory may be handed over, nothing that still has
// to be written or closed.
template <class T>
void KeepUntilExit(T&& heavy) {
  static auto* kept = new std::vector<std::shared_ptr<void>>;  // never freed, on purpose
  kept->push_back(std::make_shared<std::decay_t<T>>(std::forward<T>(heavy)));
}

}  // namespace norva::cli
