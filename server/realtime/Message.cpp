#include "server/realtime/Message.h"

namespace velmo::realtime {

std::variant<std::shared_ptr<const pb::FeedMessage>, std::string> parseMessage(std::string_view bytes) {
    if (bytes.size() > kMaxMessageBytes) {
        return std::string("message too large (" + std::to_string(bytes.size()) + " bytes)");
    }
    auto message = std::make_shared<pb::FeedMessage>();
    if (!message->ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
        return std::string("not a feed message (truncated or not protobuf)");
    }
    // Every real feed starts with a header naming its version; random bytes
    // that happen to parse rarely do.
    if (!message->has_header() || !message->header().has_gtfs_realtime_version()) {
        return std::string("feed message without header");
    }
    return std::shared_ptr<const pb::FeedMessage>(std::move(message));
}

}  // namespace velmo::realtime
