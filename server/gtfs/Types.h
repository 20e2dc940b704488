#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <functional>

namespace velmo::gtfs {

// An index into one of a feed's tables. The tag keeps a stop index from being
// passed where a trip index is expected.
template <class Tag>
struct Index {
    static constexpr std::uint32_t kInvalid = 0xffffffffu;

    constexpr Index() = default;
    constexpr explicit Index(std::uint32_t v) : value(v) {}
    constexpr explicit Index(std::size_t v) : value(static_cast<std::uint32_t>(v)) {}

    [[nodiscard]] constexpr bool valid() const { return value != kInvalid; }
    [[nodiscard]] constexpr std::size_t get() const { return value; }
    constexpr auto operator<=>(const Index&) const = default;

    std::uint32_t value = kInvalid;
};

using AgencyIdx = Index<struct AgencyTag>;
using StopIdx = Index<struct StopTag>;
using RouteIdx = Index<struct RouteTag>;
using TripIdx = Index<struct TripTag>;
using ServiceIdx = Index<struct ServiceTag>;

// A GTFS time of day: seconds after "noon minus 12 h" of the service day; may
// exceed 24 h for trips that run past midnight.
using Seconds = std::chrono::duration<std::int32_t>;

}  // namespace velmo::gtfs

template <class Tag>
struct std::hash<velmo::gtfs::Index<Tag>> {
    std::size_t operator()(velmo::gtfs::Index<Tag> i) const noexcept { return i.value; }
};
