// velmomac: the main program: the window, or with --once one query on the console.

#include "app/ConsoleMode.h"
#include "app/WindowMode.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const velmo::CommandLine command = velmo::parseCommandLine(arguments);
    if (command.error) {
        std::cerr << "velmomac: " << *command.error << "\nRészletek: velmomac --help" << std::endl;
        return velmo::kExitUsage;
    }
    if (command.options.help) {
        std::cout << velmo::consoleHelp();
        return velmo::kExitSuccess;
    }
    if (command.options.once) {
        return velmo::runOnce(argc, argv, command.options);
    }
    return velmo::runWindow(argc, argv, command.options);
}
