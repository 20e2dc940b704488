// velmomactoday: the departures widget in the desktop's notification area.

#include "core/client/ClientStack.h"
#include "core/display/DeparturesClient.h"
#include "widget/TrayController.h"

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QSystemTrayIcon>

#include <iostream>
#include <optional>
#include <string>

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

// The command line: -h/--help, and --position, whose value the location choice checks (a
// bad one is named on standard error and the widget then shows the location error). Qt's own
// options and anything else pass through to QApplication.
struct Options {
    bool help = false;
    std::optional<std::string> position;
};

Options parseOptions(int argc, char** argv) {
    Options options;
    CLI::App parser("velmomactoday", "velmomactoday");
    parser.set_help_flag();
    parser.allow_extras();
    std::string position;
    CLI::Option* help = parser.add_flag("-h,--help");
    // The first --position counts, as it always has.
    CLI::Option* positionOption =
        parser.add_option("--position", position)->multi_option_policy(CLI::MultiOptionPolicy::TakeFirst);
    try {
        parser.parse(argc, argv);
        if (positionOption->count() > 0) {
            options.position = position;
        }
    } catch (const CLI::ArgumentMismatch&) {
        options.position = std::string();  // "--position" with no value: not a position
    } catch (const CLI::ParseError&) {
    }
    options.help = help->count() > 0;
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    if (options.help) {
        std::cout << kHelp;
        return 0;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velmomactoday"));
    QApplication::setDesktopFileName(QStringLiteral("velmomactoday"));
    // With a tray icon the program runs on while the popup is closed; without one the
    // window is the program, and closing it ends it.
    const bool trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    QApplication::setQuitOnLastWindowClosed(!trayAvailable);

    velmo::ClientStack stack(velmo::ClientOptions{options.position}, std::cout, std::cerr);
    velmo::TrayController tray(stack.departuresClient(), trayAvailable, std::cerr);
    return QApplication::exec();
}
