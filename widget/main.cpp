// velmomactoday: the departures widget in the desktop's notification area.

#include "core/display/TarvoDeparturesClient.h"
#include "widget/TrayController.h"

#include <QApplication>
#include <QSystemTrayIcon>

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velmomactoday"));
    QApplication::setDesktopFileName(QStringLiteral("velmomactoday"));
    // With a tray icon the program runs on while the popup is closed; without one the
    // window is the program, and closing it ends it.
    const bool trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    QApplication::setQuitOnLastWindowClosed(!trayAvailable);

    const std::vector<std::string> arguments(argv + 1, argv + argc);
    velmo::TrayController tray(std::make_unique<velmo::TarvoDeparturesClient>(arguments, std::cerr), trayAvailable,
                               std::cerr);
    return QApplication::exec();
}
