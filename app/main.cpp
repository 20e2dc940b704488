// velmomac: the main program. For now it offers only the console mode (--once); the window
// will be started from here as well.

#include "app/ConsoleMode.h"

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
    std::cerr << "velmomac: az ablakos felület még nem készült el; egy lekérdezés ablak nélkül: velmomac --once"
              << std::endl;
    return velmo::kExitUsage;
}
