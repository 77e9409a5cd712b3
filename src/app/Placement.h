// Window placement: integers kept in Config.QDB, and fitting a window onto the screen.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "config/Options.h"

namespace norva {

using TIntegerKeys = std::vector<std::pair<std::string, int32_t*>>;

// Reads each key's integer into its target; a key that is missing or not an integer, or a file
// that cannot be read, leaves the target as it is.
void ReadConfigIntegers(const std::string& configFile, const TIntegerKeys& keys);
// Writes each target under its key into the configuration's file, unless the configuration
// could not be loaded (the file is then left alone). Placement is a convenience: a failure is
// swallowed.
void WriteConfigIntegers(const TfrmOptions& options, const TIntegerKeys& keys);

// Keeps one dimension of a window on a screen of the given size: a start below 1 becomes 5; a
// window reaching past the screen's end moves back to end 5 pixels inside it, or, when it is
// wider than the screen allows, starts at 5 and is cut to the screen less 10 pixels.
void FitToScreen(int32_t& start, int32_t& length, int32_t screen);

}  // namespace norva
