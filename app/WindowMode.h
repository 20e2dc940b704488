#pragma once
// The window of velmomac: runs the application loop with the main window until the last
// window closes.

#include "app/ConsoleMode.h"

namespace velmo {

// `options` is the checked command line (its position, if any, replaces the settings').
int runWindow(int argc, char** argv, const ConsoleOptions& options);

}  // namespace velmo
