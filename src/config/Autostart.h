// Starting Norva at login: a freedesktop autostart entry, norva.desktop, in
// $XDG_CONFIG_HOME/autostart (~/.config/autostart when the variable is unset or not absolute).
#pragma once

#include <string>

namespace norva::autostart {

// The entry's file name.
std::string EntryPath();

// True when the entry exists.
bool IsEnabled();

// The entry's text: it runs `executable`, on `folder` when that is not empty (the program folder
// named by NORVA_FOLDER), so that the started Norva opens the same mailboxes.
std::string EntryText(const std::string& executable, const std::string& folder);

// Writes the entry atomically (a temporary file renamed over it), creating the folder.
// Throws std::runtime_error naming the file and the reason when it cannot.
void Enable(const std::string& executable, const std::string& folder);

// Removes the entry; nothing happens when there is none. Throws std::runtime_error on failure.
void Disable();

// The running program's absolute path (the installed one when it runs installed).
std::string RunningExecutable();

}  // namespace norva::autostart
