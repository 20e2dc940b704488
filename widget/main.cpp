// velmomactoday: the departures widget in the desktop's notification area.

#include "core/display/TarvoDeparturesClient.h"
#include "widget/TrayController.h"

#include <QApplication>
#include <QSystemTrayIcon>

#include <iostream>
#include <string>
#include <vector>

namespace {

const char* const kHelp = R"(Használat: velmomactoday [--position SZÉL,HOSSZ[,PONTOSSÁG]]
Az induló járatok a tálcán: az ikonra kattintva legfeljebb hat közeli indulás
látszik, minden megnyitáskor frissen lekérdezve. Tálca nélkül ablakban fut.

      --position SZÉL,HOSSZ[,PONTOSSÁG]
                         a helymeghatározás helyett ezt a pozíciót használja
                           (fokban; a pontosság méterben, alapértéke 50)
  -h, --help             kiírja ezt a súgót, majd kilép

A beállításokat a velmomac-kal közösen használja (velmo-settings); a szerver
címeit a $XDG_CONFIG_HOME/velmomac/servers.conf fájl írhatja felül.

Kilépési kód: 0, ha a programot bezárták.

Példák:
  velmomactoday
  velmomactoday --position 47.4979,19.0402
)";

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            std::cout << kHelp;
            return 0;
        }
    }
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
