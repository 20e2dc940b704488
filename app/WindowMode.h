#pragma once
// The window of velmomac: runs the application loop with the main window until the last
// window closes.

#include <string>
#include <vector>

namespace velmo {

int runWindow(int argc, char** argv, const std::vector<std::string>& arguments);

}  // namespace velmo
