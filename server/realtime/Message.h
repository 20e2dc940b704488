#pragma once

#include "server/realtime/gtfs-realtime.pb.h"

#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace velmo::realtime {

// Larger messages are refused unread.
inline constexpr std::size_t kMaxMessageBytes = 64u << 20;

// A feed message from its wire bytes, or an English reason why not.
std::variant<std::shared_ptr<const pb::FeedMessage>, std::string> parseMessage(std::string_view bytes);

}  // namespace velmo::realtime
