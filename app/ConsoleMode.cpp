#include "app/ConsoleMode.h"

#include "core/client/ClientStack.h"
#include "core/service/TarvoReply.h"
#include "core/service/TarvoRequest.h"
#include "core/settings/PlistJson.h"
#include "platform/location/FixedLocationService.h"
#include "platform/runloop/RunLoop.h"

#include <CLI/CLI.hpp>
#include <QCoreApplication>

#include <algorithm>
#include <iostream>
#include <map>
#include <sstream>

namespace velmo {

namespace {

// Longest a query may take: the location time-out (30 s), the request time-out (25 s) and
// room for the provider's own handling. Only a fault can reach it.
constexpr double kQueryLimitSeconds = 90.0;

const char* const kNoAnswer = "A szolgáltatás nem adott választ";

std::string text(const PlistMap& item, const char* key) {
    const auto it = item.find(key);
    return it == item.end() ? std::string() : it->second.toString().value_or(std::string());
}

bool flag(const PlistMap& item, const char* key) {
    const auto it = item.find(key);
    return it != item.end() && it->second.ifBool() != nullptr && *it->second.ifBool();
}

// Columns are padded by characters, not bytes: the texts are UTF-8.
std::size_t width(const std::string& s) {
    return static_cast<std::size_t>(
        std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine result;
    CLI::App parser("velmomac", "velmomac");
    parser.set_help_flag();
    parser.allow_extras();
    std::string position;
    parser.add_flag("--once", result.options.once);
    parser.add_flag("--json", result.options.json);
    parser.add_flag("-h,--help", result.options.help);
    CLI::Option* positionOption = parser.add_option("--position", position);
    try {
        std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());  // CLI11 reads from the back
        parser.parse(reversed);
    } catch (const CLI::ArgumentMismatch&) {
        result.error = "a(z) --position kapcsolóhoz egy SZÉL,HOSSZ[,PONTOSSÁG] érték kell";
        return result;
    } catch (const CLI::ParseError& error) {
        result.error = std::string("hibás parancssor: ") + error.what();
        return result;
    }
    if (const std::vector<std::string> extra = parser.remaining(); !extra.empty()) {
        result.error = "ismeretlen kapcsoló vagy argumentum: " + extra.front();
        return result;
    }
    if (positionOption->count() > 0) {
        if (!parseFixedPosition(position)) {
            result.error = "a(z) --position értéke nem SZÉL,HOSSZ[,PONTOSSÁG] alakú pozíció: " + position;
            return result;
        }
        result.options.position = position;
    }
    return result;
}

std::string consoleHelp() {
    return "Használat: velmomac [--position SZÉL,HOSSZ[,PONTOSSÁG]]\n"
           "  vagy:    velmomac --once [--position SZÉL,HOSSZ[,PONTOSSÁG]] [--json]\n"
           "A közeli megállók induló járatai: ablakban, vagy --once mellett egyetlen\n"
           "lekérdezéssel, ablak nélkül.\n"
           "\n"
           "      --once             lekérdezi a pozíciód körüli induló járatokat, kiírja\n"
           "                           őket a kapott sorrendben, majd kilép\n"
           "      --position SZÉL,HOSSZ[,PONTOSSÁG]\n"
           "                         a helymeghatározás helyett ezt a pozíciót használja\n"
           "                           (fokban; a pontosság méterben, alapértéke 50)\n"
           "      --json             táblázat helyett járatonként egy JSON-objektum soronként\n"
           "  -h, --help             kiírja ezt a súgót, majd kilép\n"
           "\n"
           "A táblázat oszlopai: jármű, járat (utána \" ★\": kedvenc járat), megálló\n"
           "(előtte \"★ \": kedvenc megálló), irány és az indulásig hátralévő idő: \"MOST\",\n"
           "ha a jármű most indul, különben percben; a \" ●\" jel azt mutatja, hogy az idő\n"
           "a jármű élő (GPS-) helyzetéből származik, nem a menetrendből.\n"
           "\n"
           "A szerver a beállításokban választható (useDevelopmentServer); a címeket a\n"
           "$XDG_CONFIG_HOME/velmomac/servers.conf fájl írhatja felül (production,\n"
           "development, local, local_ca).\n"
           "\n"
           "Kilépési kód --once mellett:\n"
           "  0  siker (üres járatlista esetén nincs kimenet)\n"
           "  1  a lekérdezés hibával ért véget; az üzenet a hibakimenetre kerül\n"
           "  2  hibás parancssor\n"
           "  3  a szolgáltatás nem adott választ\n"
           "\n"
           "Példák:\n"
           "  velmomac\n"
           "  velmomac --once --position 47.4979,19.0402\n"
           "  velmomac --once --json --position 47.4979,19.0402,30\n";
}

std::string departureTimeText(const PlistMap& item) {
    const std::string minutes = text(item, "departureMinutes");
    std::string shown = minutes == "!!" ? std::string("MOST") : minutes + " perc";
    if (flag(item, "departureGPS")) {
        shown += " ●";
    }
    return shown;
}

std::string formatDepartureTable(const PlistList& items) {
    if (items.empty()) {
        return {};
    }
    std::vector<std::vector<std::string>> rows{{"Jármű", "Járat", "Megálló", "Irány", "Indulás"}};
    for (const PlistValue& value : items) {
        const PlistMap* item = value.ifMap();
        if (item == nullptr) {
            continue;
        }
        rows.push_back({vehicleTypeName(text(*item, "type")).value_or(text(*item, "type")),
                        text(*item, "shortName") + (flag(*item, "favRoute") ? " ★" : ""),
                        (flag(*item, "favStop") ? "★ " : "") + text(*item, "name"), text(*item, "tripHeadsign"),
                        departureTimeText(*item)});
    }
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows) {
        for (std::size_t column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], width(row[column]));
        }
    }
    std::string table;
    for (const auto& row : rows) {
        for (std::size_t column = 0; column < row.size(); ++column) {
            table += row[column];
            if (column + 1 < row.size()) {
                table.append(widths[column] - width(row[column]) + 2, ' ');
            }
        }
        table += '\n';
    }
    return table;
}

std::string formatDepartureJsonLines(const PlistList& items) {
    std::string lines;
    for (const PlistValue& item : items) {
        lines += plistToJson(item).dump();
        lines += '\n';
    }
    return lines;
}

int runOnce(int& argc, char** argv, const ConsoleOptions& options) {
    QCoreApplication application(argc, argv);
    int status = kExitNoAnswer;
    {
        // The provider's status lines go to standard error: standard output holds departures only.
        ClientStack stack(ClientOptions{options.position}, std::cerr, std::cerr);
        RunLoop& loop = stack.runLoop();
        TarvoRequest& client = stack.request();

        bool answered = false;
        const auto finish = [&](int code) {
            answered = true;
            status = code;
            // Leave the event loop after this callback has returned.
            loop.post([] { QCoreApplication::exit(0); });
        };
        client.getWithLocation(false, [&](std::optional<std::string> error, std::optional<JSON> stopDates,
                                          std::optional<JSON>, std::optional<std::string>, std::optional<std::string>,
                                          std::optional<std::string>, std::optional<std::string>) {
            if (answered) {
                return;
            }
            if (error) {
                std::cerr << "velmomac: " << TarvoRequest::toErrorString(*error) << std::endl;
                finish(kExitQueryFailed);
            } else if (!stopDates) {
                std::cerr << "velmomac: " << kNoAnswer << std::endl;
                finish(kExitNoAnswer);
            } else {
                const PlistList items = TarvoRequest::toDictionaries(*stopDates, std::cerr);
                std::cout << (options.json ? formatDepartureJsonLines(items) : formatDepartureTable(items))
                          << std::flush;
                finish(kExitSuccess);
            }
        });
        const std::shared_ptr<Timer> limit = loop.scheduleTimer(RunLoop::Seconds{kQueryLimitSeconds}, [&] {
            if (!answered) {
                std::cerr << "velmomac: " << kNoAnswer << std::endl;
                finish(kExitNoAnswer);
            }
        });
        QCoreApplication::exec();
        limit->invalidate();
    }
    return status;
}

}  // namespace velmo
