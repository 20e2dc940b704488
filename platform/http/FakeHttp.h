#pragma once
// Scripted URL loading for tests: replies are queued in advance (or later) and handed to the
// tasks in the order they are resumed; every session and request is recorded. Completions are
// delivered through the given run loop, never inside resume().

#include "platform/http/UrlSession.h"
#include "platform/runloop/RunLoop.h"

#include <deque>
#include <string>
#include <vector>

namespace velmo {

struct FakeReply {
    std::optional<Bytes> body;
    std::optional<UrlResponse> response;
    std::optional<UrlError> error;

    // A response with this status and body.
    static FakeReply withBody(const std::string& body, int status = 200);
    static FakeReply failure(int code, std::string message = "fake transport error");
};

struct RecordedRequest {
    int session = 0;  // index into FakeUrlSessionFactory::sessions()
    UrlSessionConfiguration configuration;
    UrlRequest request;

    std::string bodyText() const { return std::string(request.httpBody.begin(), request.httpBody.end()); }
};

class FakeUrlSessionFactory final : public UrlSessionFactory {
public:
    explicit FakeUrlSessionFactory(RunLoop& runLoop);
    ~FakeUrlSessionFactory() override;

    std::shared_ptr<UrlSession> makeSession(const UrlSessionConfiguration& configuration) override;

    // Queues a reply for the next resumed task that has none.
    void enqueue(FakeReply reply);
    const std::vector<UrlSessionConfiguration>& sessions() const { return sessions_; }
    // Requests in the order their tasks were resumed.
    const std::vector<RecordedRequest>& requests() const { return requests_; }
    // Resumed tasks still waiting for a reply.
    std::size_t waitingCount() const { return waiting_.size(); }

private:
    class Session;
    class Task;
    friend class Task;
    void resumed(std::shared_ptr<Task> task);
    void pair();

    RunLoop& runLoop_;
    std::vector<UrlSessionConfiguration> sessions_;
    std::vector<RecordedRequest> requests_;
    std::deque<FakeReply> replies_;
    std::deque<std::shared_ptr<Task>> waiting_;
};

}  // namespace velmo
