#include "app/ConsoleMode.h"

#include "core/client/ClientStack.h"
#include "core/service/ServerConfig.h"
#include "core/service/TarvoReply.h"
#include "core/service/TarvoRequest.h"
#include "core/settings/PlistJson.h"
#include "core/json/JSON.h"
#include "platform/location/FixedLocationService.h"
#include "platform/runloop/RunLoop.h"
#include "platform/text/SafeText.h"

#include <CLI/CLI.hpp>
#include <QCoreApplication>
#include <QDateTime>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <iostream>
#include <map>
#include <sstream>
#include <streambuf>

namespace velmo {

namespace {

// Longest a query may take: the location time-out (30 s), the request time-out (25 s) and
// room for the provider's own handling. Only a fault can reach it.
constexpr double kQueryLimitSeconds = 90.0;

const char* const kNoAnswer = "A szolgáltatás nem adott választ";
// After a failure to get the position: how to say where you are instead.
const char* const kFixedPositionHint =
    "Rögzített pozíció: velmo-settings set locationFixed SZÉLESSÉG,HOSSZÚSÁG --type string, majd "
    "velmo-settings set locationSource fixed --type string (vagy a beállítások ablakában; egyszerire: "
    "--position SZÉLESSÉG,HOSSZÚSÁG)";

std::string text(const PlistMap& item, const char* key) {
    const auto it = item.find(key);
    return it == item.end() ? std::string() : it->second.toString().value_or(std::string());
}

bool flag(const PlistMap& item, const char* key) {
    const auto it = item.find(key);
    return it != item.end() && it->second.ifBool() != nullptr && *it->second.ifBool();
}

// Standard error as the terminal gets it while a query runs: every line written to the
// stream loses its control characters (settings, servers.conf, device lines), so nothing can
// move the cursor or clear the screen. Line ends stay: a text that could hold a line end of
// its own is made safe where it is written.
class StrippedLines final : public std::streambuf {
public:
    explicit StrippedLines(std::ostream& stream) : stream_(stream), target_(stream.rdbuf(this)) {}
    ~StrippedLines() override {
        if (!line_.empty()) {
            write(stripControls(line_));
        }
        stream_.rdbuf(target_);
    }
    StrippedLines(const StrippedLines&) = delete;
    StrippedLines& operator=(const StrippedLines&) = delete;

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        line_ += traits_type::to_char_type(c);
        if (line_.back() == '\n') {
            line_.pop_back();
            write(stripControls(line_) + '\n');
            line_.clear();
        }
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        for (std::streamsize i = 0; i < n; ++i) {
            overflow(traits_type::to_int_type(s[i]));
        }
        return n;
    }
    // A line is written whole when it ends, never in parts that could split a character.
    int sync() override { return target_->pubsync(); }

private:
    void write(const std::string& text) {
        target_->sputn(text.data(), static_cast<std::streamsize>(text.size()));
        target_->pubsync();
    }

    std::ostream& stream_;
    std::streambuf* target_;
    std::string line_;
};

// JSON lets DEL and the C1 controls stand raw in a string, and a terminal may obey them; they
// are escaped like the C0 controls the JSON writer already escapes. In UTF-8 DEL is the byte
// 0x7F and C1 the two bytes C2 80..C2 9F, neither part of any other character.
std::string escapeRawControls(const std::string& json) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(json.size());
    for (std::size_t i = 0; i < json.size(); ++i) {
        const auto byte = static_cast<unsigned char>(json[i]);
        const auto next = i + 1 < json.size() ? static_cast<unsigned char>(json[i + 1]) : 0;
        unsigned code = 0;
        if (byte == 0x7F) {
            code = byte;
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            code = next;
            ++i;
        } else {
            out += json[i];
            continue;
        }
        out += "\\u00";
        out += kHex[code >> 4];
        out += kHex[code & 0xF];
    }
    return out;
}

// Columns are padded by characters, not bytes: the texts are UTF-8.
std::size_t width(const std::string& s) {
    return static_cast<std::size_t>(
        std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// Rows of cells padded to columns two spaces apart, each line without trailing blanks.
std::string alignColumns(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (std::size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], width(row[column]));
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            line += row[column];
            if (column + 1 < row.size())
                line.append(widths[column] - width(row[column]) + 2, ' ');
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out += line + '\n';
    }
    return out;
}

std::string clockText(std::int64_t unixSeconds) {
    return QDateTime::fromSecsSinceEpoch(unixSeconds).toLocalTime().toString(QStringLiteral("HH:mm")).toStdString();
}

// What the console says of a stop besides its name and time.
std::vector<std::string> stopNotes(const TripStop& stop, std::size_t row, std::optional<double> place) {
    std::vector<std::string> notes;
    if (stop.passed)
        notes.emplace_back("elhaladt");
    if (stop.selected)
        notes.emplace_back("a te megállód");
    if (stop.cancelled)
        notes.emplace_back("elmarad");
    const auto at = static_cast<double>(row);
    if (place && *place == at)
        notes.emplace_back("a jármű itt van");
    else if (place && *place > at - 1 && *place < at)
        notes.emplace_back("a jármű ide tart");
    return notes;
}

std::string vehicleLine(const TripDetails& trip, const std::optional<VehiclePosition>& vehicle,
                        const std::optional<double>& place, const std::string& noVehicle, std::int64_t now) {
    if (!vehicle || !place)
        return noVehicle;
    return vehiclePlaceText(trip.stops, *place) + " volt, " + positionAgeText(now - vehicle->timestamp);
}

}  // namespace

std::string formatTripTable(const TripDetails& trip, const std::optional<VehiclePosition>& vehicle,
                            const std::string& noVehicle, std::int64_t now) {
    const std::optional<double> place = vehicle ? vehiclePlace(trip.stops, *vehicle) : std::nullopt;
    const std::string type = vehicleTypeName(trip.routeType).value_or(trip.routeType);
    std::string out = stripControls(trip.routeName + " " + type + " → " + trip.headsign) + '\n';
    std::vector<std::vector<std::string>> rows{{"Idő", "Megálló", "Megjegyzés"}};
    for (std::size_t i = 0; i < trip.stops.size(); ++i) {
        const TripStop& stop = trip.stops[i];
        std::string notes;
        for (const std::string& note : stopNotes(stop, i, place))
            notes += (notes.empty() ? "" : ", ") + note;
        rows.push_back({clockText(stopTime(stop, i + 1 == trip.stops.size())) + (stop.live ? " ●" : ""),
                        stripControls(stop.name), notes});
    }
    out += alignColumns(rows);
    return out + "Jármű: " + stripControls(vehicleLine(trip, vehicle, place, noVehicle, now)) + '\n';
}

std::string formatTripJson(const TripDetails& trip, const std::optional<VehiclePosition>& vehicle,
                           const std::string& noVehicle, std::int64_t now) {
    const std::optional<double> place = vehicle ? vehiclePlace(trip.stops, *vehicle) : std::nullopt;
    nlohmann::json stops = nlohmann::json::array();
    for (std::size_t i = 0; i < trip.stops.size(); ++i) {
        const TripStop& stop = trip.stops[i];
        const std::int64_t time = stopTime(stop, i + 1 == trip.stops.size());
        stops.push_back({{"stopId", stop.id},
                         {"name", stop.name},
                         {"time", time},
                         {"clock", clockText(time)},
                         {"live", stop.live},
                         {"passed", stop.passed},
                         {"selected", stop.selected},
                         {"cancelled", stop.cancelled}});
    }
    nlohmann::json out{{"line", trip.routeName}, {"type", trip.routeType},    {"headsign", trip.headsign},
                       {"stops", stops},         {"warnings", trip.warnings}, {"vehicle", nullptr}};
    if (vehicle && place) {
        out["vehicle"] = {{"lat", vehicle->lat},
                          {"lon", vehicle->lon},
                          {"timestamp", vehicle->timestamp},
                          {"age", now - vehicle->timestamp},
                          {"place", *place},
                          {"placeText", vehicleLine(trip, vehicle, place, noVehicle, now)},
                          {"currentStopId", vehicle->currentStopId},
                          {"status", vehicle->status}};
    } else {
        out["vehicleMessage"] = noVehicle;
    }
    return escapeRawControls(out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) + '\n';
}

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
    std::string details;
    CLI::Option* detailsOption = parser.add_option("--details", details);
    try {
        std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());  // CLI11 reads from the back
        parser.parse(reversed);
    } catch (const CLI::ArgumentMismatch& error) {
        result.error = std::string(error.what()).find("--details") != std::string::npos
                           ? "a(z) --details kapcsolóhoz egy sorszám kell"
                           : "a(z) --position kapcsolóhoz egy SZÉL,HOSSZ[,PONTOSSÁG] érték kell";
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
    if (detailsOption->count() > 0) {
        const bool digits = !details.empty() && details.size() <= 6 &&
                            std::all_of(details.begin(), details.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (!digits || std::stoi(details) == 0) {
            result.error = "a(z) --details értéke a kiírt indulások egyikének sorszáma (1, 2, …): " + details;
            return result;
        }
        if (!result.options.once) {
            result.error = "a(z) --details csak a --once mellett használható";
            return result;
        }
        result.options.details = std::stoi(details);
    }
    return result;
}

std::string consoleHelp() {
    return "Használat: velmomac [--position SZÉL,HOSSZ[,PONTOSSÁG]]\n"
           "  vagy:    velmomac --once [--position SZÉL,HOSSZ[,PONTOSSÁG]] [--json] [--details N]\n"
           "A közeli megállók induló járatai: ablakban, vagy --once mellett egyetlen\n"
           "lekérdezéssel, ablak nélkül.\n"
           "\n"
           "      --once             lekérdezi a pozíciód körüli induló járatokat, kiírja\n"
           "                           őket a kapott sorrendben, majd kilép\n"
           "      --position SZÉL,HOSSZ[,PONTOSSÁG]\n"
           "                         a helymeghatározás helyett ezt a pozíciót használja\n"
           "                           (fokban; a pontosság méterben, alapértéke 50)\n"
           "      --json             táblázat helyett járatonként egy JSON-objektum soronként\n"
           "      --details N        a kiírt N. indulás járatának megállói az időkkel, és hogy\n"
           "                           hol jár a jármű (--json mellett egy JSON-objektum)\n"
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
           "  2  hibás parancssor, vagy nincs N. indulás (--details)\n"
           "  3  a szolgáltatás nem adott választ\n"
           "\n"
           "Példák:\n"
           "  velmomac\n"
           "  velmomac --once --position 47.4979,19.0402\n"
           "  velmomac --once --json --position 47.4979,19.0402,30\n";
}

std::string departureTimeText(const PlistMap& item) {
    if (flag(item, "tripCancelled")) {
        return "elmarad";
    }
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
    // Server texts lose their control characters before the columns are measured.
    for (auto& row : rows) {
        for (std::string& cell : row) {
            cell = stripControls(cell);
        }
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
        lines += escapeRawControls(plistToJson(item).dump());
        lines += '\n';
    }
    return lines;
}

int runOnce(int& argc, char** argv, const ConsoleOptions& options) {
    QCoreApplication application(argc, argv);
    int status = kExitNoAnswer;
    {
        const StrippedLines safeErrors(std::cerr);
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
        // --details: the trip of one printed departure, then its vehicle, one after the other.
        const auto askDetails = [&](const PlistList& items, const std::string& city) {
            const auto n = static_cast<std::size_t>(*options.details);
            if (n > items.size()) {
                std::cerr << "velmomac: nincs " << n << ". indulás (" << items.size() << " van)" << std::endl;
                finish(kExitUsage);
                return;
            }
            const PlistMap& item = *items[n - 1].ifMap();
            std::vector<PlistMap> departures;
            for (const PlistValue& value : items)
                departures.push_back(*value.ifMap());
            if (!flag(item, "hasDetails")) {
                std::cerr << "velmomac: ehhez az induláshoz nincs menetrendi részlet" << std::endl;
                finish(kExitQueryFailed);
                return;
            }
            const std::string trip = base64(text(item, "tripId"));
            const std::string stop = base64(text(item, "stopIdUniq"));
            const std::string route = base64(text(item, "routeId"));
            client.getMoreInfo(
                city, trip, stop, route,
                [&, city, trip, stop, route, departures](std::optional<std::string> error, std::optional<JSON> reply) {
                    if (answered)
                        return;  // the time limit came first
                    std::optional<TripDetails> details = reply ? readTripDetails(*reply) : std::nullopt;
                    if (!details) {
                        std::cerr << "velmomac: " << stripControls(detailsErrorText(error, TarvoRequest::toErrorString))
                                  << std::endl;
                        finish(kExitQueryFailed);
                        return;
                    }
                    client.getVehicleInfo(
                        city, trip, stop, route,
                        [&, departures, details = std::move(*details)](std::optional<std::string> vehicleError,
                                                                       std::optional<JSON> vehicleReply) {
                            if (answered)
                                return;
                            const std::optional<VehiclePosition> vehicle =
                                vehicleReply ? readVehiclePosition(*vehicleReply) : std::nullopt;
                            const std::string why =
                                detailsErrorText(vehicleError.value_or("NOVEHICLE"), TarvoRequest::toErrorString);
                            const auto local =
                                std::chrono::duration_cast<std::chrono::seconds>(loop.now().time_since_epoch()).count();
                            const std::int64_t now = local + clockOffset(serviceClock(departures), local);
                            std::cout << (options.json ? formatTripJson(details, vehicle, why, now)
                                                       : formatTripTable(details, vehicle, why, now))
                                      << std::flush;
                            finish(kExitSuccess);
                        });
                });
        };
        client.getWithLocation(false, [&](std::optional<std::string> error, std::optional<JSON> stopDates,
                                          std::optional<JSON>, std::optional<std::string>, std::optional<std::string>,
                                          std::optional<std::string> cityKey, std::optional<std::string>) {
            if (answered) {
                return;
            }
            if (error) {
                // The message may be the server's own text: one line, whatever it holds.
                std::cerr << "velmomac: " << stripControls(TarvoRequest::toErrorString(*error)) << std::endl;
                if (*error == kNoServer) {
                    std::cerr << "velmomac: a főablak beállításaiban (Szerver) adhatsz meg egyet, vagy a(z) "
                              << serverConfigPath() << " fájlban: production = https://kiszolgáló/v2/" << std::endl;
                } else if (error->starts_with("NOLOCATION")) {
                    std::cerr << "velmomac: " << kFixedPositionHint << std::endl;
                }
                finish(kExitQueryFailed);
            } else if (!stopDates) {
                std::cerr << "velmomac: " << kNoAnswer << std::endl;
                finish(kExitNoAnswer);
            } else {
                const PlistList items = TarvoRequest::toDictionaries(*stopDates, std::cerr);
                if (options.details) {
                    askDetails(items, cityKey.value_or(""));
                    return;
                }
                std::cout << (options.json ? formatDepartureJsonLines(items) : formatDepartureTable(items))
                          << std::flush;
                finish(kExitSuccess);
            }
        });
        // The details queries get their own 25 s each.
        const double limitSeconds = kQueryLimitSeconds + (options.details ? 60.0 : 0.0);
        const std::shared_ptr<Timer> limit = loop.scheduleTimer(RunLoop::Seconds{limitSeconds}, [&] {
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
