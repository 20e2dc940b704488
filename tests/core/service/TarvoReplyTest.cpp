#include "core/service/TarvoRequest.h"

#include "ServiceFixture.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace velmo;
using velmo::test::sampleDeparture;

namespace {

JSON json(const nlohmann::json& plain) { return JSON(plain); }

}  // namespace

TEST(ToDictionary, RenamesAndRetypesEveryMember) {
    const std::optional<PlistMap> item = TarvoRequest::toDictionary(json(sampleDeparture()));
    ASSERT_TRUE(item);
    const PlistMap expected{
        {"stopLat", 47.497913},
        {"stopLon", 19.040236},
        {"stopDistance", int64_t{123}},  // truncated, not rounded
        {"stopId", "F01"},
        {"stopIdUniq", "F01-a"},
        {"nearest", true},
        {"favStop", false},
        {"name", "Deák Ferenc tér"},
        {"shortName", "47"},
        {"routeId", "R47"},
        {"routeIdUniq", "R47|0"},
        {"favRoute", true},
        {"type", "TRAM"},
        {"tripHeadsign", "Budafok"},
        {"tripId", "T1"},
        {"tripIdUniq", "T1@20250314"},
        {"departureSeconds", int64_t{30600}},
        {"departure", int64_t{1741935600}},
        {"departureMinutes", "3"},
        {"departureGPS", true},
        {"warning", false},
        {"hasDetails", true},
    };
    EXPECT_EQ(item->size(), 22u);
    EXPECT_EQ(*item, expected);  // equality includes the kind: doubles stay doubles, integers int64
}

TEST(ToDictionary, NumbersAndFlagsConvertByTheirAccessors) {
    nlohmann::json departure = sampleDeparture();
    departure["stopLat"] = true;                   // a bool is a number 1
    departure["stopLon"] = 19;                     // an integer becomes a double
    departure["stopDistance"] = -5.9;              // toward zero
    departure["tripDepartureSeconds"] = 30600.99;  // a fraction is truncated
    departure["tripDepartureTimestamp"] = false;   // int accepts a bool as 0
    const std::optional<PlistMap> item = TarvoRequest::toDictionary(json(departure));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->at("stopLat"), PlistValue(1.0));
    EXPECT_EQ(item->at("stopLon"), PlistValue(19.0));
    EXPECT_EQ(item->at("stopDistance"), PlistValue(int64_t{-5}));
    EXPECT_EQ(item->at("departureSeconds"), PlistValue(int64_t{30600}));
    EXPECT_EQ(item->at("departure"), PlistValue(int64_t{0}));
}

TEST(ToDictionary, WarningTextsOnlyWhenWarningIsTrue) {
    struct Case {
        const char* name;
        nlohmann::json warning;
        std::optional<nlohmann::json> texts;
        std::optional<PlistList> expected;  // absent: no "warningText" key
    };
    const std::vector<Case> cases{
        {"no warning", false, nlohmann::json::array({"ignored"}), std::nullopt},
        {"texts in order", true, nlohmann::json::array({"Pótlóbusz", "Terelés"}), PlistList{"Pótlóbusz", "Terelés"}},
        {"texts missing", true, std::nullopt, PlistList{}},
        {"texts not a list", true, "Pótlóbusz", PlistList{}},
        {"object values in key order", true, nlohmann::json{{"b", "második"}, {"a", "első"}},
         PlistList{"első", "második"}},
        {"non-strings left out", true, nlohmann::json::array({"egy", 2, nullptr, "három"}), PlistList{"egy", "három"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        nlohmann::json departure = sampleDeparture();
        departure["warning"] = c.warning;
        if (c.texts) {
            departure["warningText"] = *c.texts;
        }
        const std::optional<PlistMap> item = TarvoRequest::toDictionary(json(departure));
        ASSERT_TRUE(item);
        if (c.expected) {
            EXPECT_EQ(item->size(), 23u);
            EXPECT_EQ(item->at("warningText"), PlistValue(*c.expected));
        } else {
            EXPECT_EQ(item->size(), 22u);
            EXPECT_FALSE(item->contains("warningText"));
        }
    }
}

TEST(ToDictionary, EveryMemberIsRequired) {
    const nlohmann::json complete = sampleDeparture();
    for (const auto& [member, value] : complete.items()) {
        SCOPED_TRACE(member);
        nlohmann::json departure = sampleDeparture();
        departure.erase(member);
        EXPECT_FALSE(TarvoRequest::toDictionary(json(departure)));
    }
}

TEST(ToDictionary, MembersOfTheWrongKindMakeTheItemInvalid) {
    const std::vector<std::pair<const char*, nlohmann::json>> cases{
        {"tripDepartureGPS", 1},  // bool members take JSON booleans only
        {"stopNearest", "true"},
        {"hasDetails", 0},
        {"stopLat", "47.5"},  // numbers are not read from text
        {"stopDistance", nullptr},
        {"tripDepartureSeconds", "30600"},
        {"routeName", 47},  // strings take JSON strings only
        {"stopFavoriteId", nlohmann::json::array()},
        {"warning", nullptr},
    };
    for (const auto& [member, value] : cases) {
        SCOPED_TRACE(member);
        nlohmann::json departure = sampleDeparture();
        departure[member] = value;
        EXPECT_FALSE(TarvoRequest::toDictionary(json(departure)));
    }
    EXPECT_FALSE(TarvoRequest::toDictionary(JSON("not an item")));
    EXPECT_FALSE(TarvoRequest::toDictionary(JSON()));
}

TEST(ToDictionaries, SkipsInvalidItemsKeepsTheRestAndNamesEachInOneLine) {
    nlohmann::json wrongFlag = sampleDeparture();
    wrongFlag["tripDepartureGPS"] = 1;
    wrongFlag["routeName"] = "second";
    nlohmann::json badWarning = sampleDeparture();
    badWarning["routeName"] = "third";
    badWarning["warning"] = true;
    badWarning["warningText"] = {"ok", 7};
    const nlohmann::json list = {sampleDeparture(), wrongFlag, badWarning, "garbage"};

    std::ostringstream log;
    const PlistList items = TarvoRequest::toDictionaries(json(list), log);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].ifMap()->at("shortName"), PlistValue("47"));
    EXPECT_EQ(items[1].ifMap()->at("shortName"), PlistValue("third"));
    EXPECT_EQ(items[1].ifMap()->at("warningText"), PlistValue(PlistList{"ok"}));
    EXPECT_EQ(log.str(),
              "velmo: indulás [1] kimarad: \"tripDepartureGPS\" hiányzik vagy rossz típusú\n"
              "velmo: indulás [2]: a warningText [1] eleme nem szöveg; kimarad\n"
              "velmo: indulás [3] kimarad: \"stopLat\" hiányzik vagy rossz típusú\n");
}

TEST(ToDictionaries, NullAndEmptyListsGiveNoItems) {
    std::ostringstream log;
    EXPECT_TRUE(TarvoRequest::toDictionaries(JSON(), log).empty());
    EXPECT_TRUE(TarvoRequest::toDictionaries(json(nlohmann::json::array()), log).empty());
    EXPECT_TRUE(log.str().empty());
}

TEST(ToErrorString, CodesAndServerTexts) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"NOLOCATION", "A pozíciód meghatározása nem sikerült"},
        {"NOLOCATIONACCESS", "Nincs hozzáférés a pozíciódhoz"},
        {"NOLOCATIONDISABLED", "A helymeghatározás le van tiltva"},
        {"NOSTOPS", "Nincs megálló a közeledben"},
        {"NOTRIPS", "Nincs induló járat"},
        {"DOWNLOADERROR", "Hálózati hiba"},
        {"NEWSTABLE", "Új verzió elérhető az App Storeban"},
        {"NEWTESTFLIGHT", "Telepítsd fel az új verziót a Testflightból!"},
        {"nostops", "Ismeretlen hiba!"},
        {"NOSTOPS ", "Ismeretlen hiba!"},
        {"", "Ismeretlen hiba!"},
        {"NOTRIPS::Ma nem jár több járat", "Ma nem jár több járat"},
        {"NOSTOPS::Saját szöveg", "Saját szöveg"},  // the server's text wins over the table
        {"A::B::C", "B"},
        {"::", ""},
        {"CODE::", ""},
        {"::Csak szöveg", "Csak szöveg"},
        {"A:B", "Ismeretlen hiba!"},
        {"A:::B", ":B"},
    };
    for (const auto& [code, message] : cases) {
        EXPECT_EQ(TarvoRequest::toErrorString(code), message) << "code \"" << code << "\"";
    }
}
