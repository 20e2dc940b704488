#include "platform/http/FakeHttp.h"

namespace velmo {

FakeReply FakeReply::withBody(const std::string& body, int status) {
    FakeReply reply;
    reply.body = Bytes(body.begin(), body.end());
    reply.response = UrlResponse{status, {}, {}};
    return reply;
}

FakeReply FakeReply::failure(int code, std::string message) {
    FakeReply reply;
    reply.error = UrlError{code, std::move(message)};
    return reply;
}

class FakeUrlSessionFactory::Task final : public DataTask, public std::enable_shared_from_this<Task> {
public:
    Task(FakeUrlSessionFactory& factory, RecordedRequest record, DataTaskCompletion completion)
        : factory_(factory), record_(std::move(record)), completion_(std::move(completion)) {}

    void resume() override {
        if (resumed_) {
            return;
        }
        resumed_ = true;
        factory_.requests_.push_back(record_);
        factory_.resumed(shared_from_this());
    }

    void answer(FakeReply reply) {
        // The posted function holds the task until its completion has run.
        factory_.runLoop_.post([self = shared_from_this(), reply = std::move(reply)]() mutable {
            auto completion = std::move(self->completion_);
            self->completion_ = nullptr;
            if (completion) {
                completion(std::move(reply.body), std::move(reply.response), std::move(reply.error));
            }
        });
    }

private:
    FakeUrlSessionFactory& factory_;
    RecordedRequest record_;
    DataTaskCompletion completion_;
    bool resumed_ = false;
};

class FakeUrlSessionFactory::Session final : public UrlSession {
public:
    Session(FakeUrlSessionFactory& factory, int index) : factory_(factory), index_(index) {}

    std::shared_ptr<DataTask> dataTask(const UrlRequest& request, DataTaskCompletion completion) override {
        RecordedRequest record{index_, factory_.sessions_.at(static_cast<std::size_t>(index_)), request};
        return std::make_shared<Task>(factory_, std::move(record), std::move(completion));
    }

private:
    FakeUrlSessionFactory& factory_;
    int index_;
};

FakeUrlSessionFactory::FakeUrlSessionFactory(RunLoop& runLoop) : runLoop_(runLoop) {}

FakeUrlSessionFactory::~FakeUrlSessionFactory() = default;

std::shared_ptr<UrlSession> FakeUrlSessionFactory::makeSession(const UrlSessionConfiguration& configuration) {
    sessions_.push_back(configuration);
    return std::make_shared<Session>(*this, static_cast<int>(sessions_.size() - 1));
}

void FakeUrlSessionFactory::enqueue(FakeReply reply) {
    replies_.push_back(std::move(reply));
    pair();
}

void FakeUrlSessionFactory::resumed(std::shared_ptr<Task> task) {
    waiting_.push_back(std::move(task));
    pair();
}

void FakeUrlSessionFactory::pair() {
    while (!replies_.empty() && !waiting_.empty()) {
        auto task = std::move(waiting_.front());
        waiting_.pop_front();
        FakeReply reply = std::move(replies_.front());
        replies_.pop_front();
        task->answer(std::move(reply));
    }
}

}  // namespace velmo
