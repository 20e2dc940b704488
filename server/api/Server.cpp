#include "server/api/Server.h"

#include "server/api/Reply.h"

#include <httplib.h>
#include <spdlog/spdlog.h>

#include <set>
#include <stdexcept>
#include <thread>

namespace velmo::api {

namespace {

constexpr const char* kJson = "application/json; charset=utf-8";
const std::set<std::string, std::less<>> kApiPaths{"/v2/nearby/", "/v2/more/", "/v2/vehicle/"};

std::string endpointName(std::string_view path) {
    if (kApiPaths.contains(path) || path == "/healthz" || path == "/metrics") {
        return std::string(path);
    }
    return "other";
}

using Started = std::chrono::steady_clock::time_point;

std::pair<Reply, std::string> failure(const ApiError& error) { return {renderError(error), error.code}; }

}  // namespace

Server::Server(ServerOptions options, SnapshotSource snapshots, Clock clock)
    : options_(std::move(options)), snapshots_(std::move(snapshots)), clock_(std::move(clock)) {
    http_ = std::make_unique<httplib::SSLServer>(options_.certPath.c_str(), options_.keyPath.c_str());
    if (!http_->is_valid()) {
        throw std::runtime_error("cannot use TLS certificate " + options_.certPath + " with key " + options_.keyPath);
    }
    const int threads = std::max(1, options_.threads);
    http_->new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<std::size_t>(threads)); };
    http_->set_payload_max_length(options_.maxBody);
    http_->set_read_timeout(options_.readTimeout);
    http_->set_write_timeout(options_.writeTimeout);
    http_->set_keep_alive_timeout(options_.idleTimeout.count());
    http_->set_keep_alive_max_count(std::max<std::size_t>(1, options_.keepAliveMaxRequests));
    // A reply goes out as several TLS records: without this each waits for the
    // client's delayed ACK (~40 ms on Linux).
    http_->set_tcp_nodelay(true);
    routes();
}

Server::~Server() { stop(); }

int Server::bind(const std::string& host, int port) {
    if (port == 0) {
        return http_->bind_to_any_port(host);
    }
    return http_->bind_to_port(host, port) ? port : -1;
}

bool Server::listen() { return http_->listen_after_bind(); }

void Server::stop() {
    if (http_) {
        http_->stop();
    }
}

void Server::waitUntilReady() const {
    while (!http_->is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Every answer goes out through here: the request is logged and counted under its result (the
// declared error code, "OK", or the HTTP status), timed from when its handler started.
void Server::send(const httplib::Request& req, httplib::Response& res, const Reply& reply, const std::string& result,
                  Started started) {
    res.status = reply.status;
    res.set_content(reply.body, kJson);
    count(req, res.status, result, started);
}

void Server::count(const httplib::Request& req, int status, const std::string& result, Started started) {
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    spdlog::debug("{} {} {} {} {:.1f} ms", req.method, req.path, status, result, took.count() * 1000);
    metrics_.request(endpointName(req.path), result, took);
}

void Server::routes() {
    // Anything but POST on an API path is refused before its body is read.
    http_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (kApiPaths.contains(req.path) && req.method != "POST") {
            send(req, res, renderError({kBadRequest, 405}), kBadRequest, std::chrono::steady_clock::now());
            res.set_header("Allow", "POST");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // Unknown paths, oversized bodies and unreadable requests still get the envelope.
    http_->set_error_handler(
        httplib::Server::HandlerWithResponse([this](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty()) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            const int status = res.status == 404 || res.status == 405 || res.status == 413 ? res.status : 400;
            send(req, res, renderError({kBadRequest, status}), kBadRequest, std::chrono::steady_clock::now());
            return httplib::Server::HandlerResponse::Handled;
        }));
    http_->set_exception_handler([this](const httplib::Request& req, httplib::Response& res, std::exception_ptr ep) {
        const Started started = std::chrono::steady_clock::now();
        try {
            std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            spdlog::error("{} {}: {}", req.method, req.path, e.what());
        } catch (...) {
            spdlog::error("{} {}: unknown error", req.method, req.path);
        }
        res.status = 500;
        res.set_content(R"({"error":true,"errorMessage":"SERVERERROR","errorMessageText":"Belső hiba"})", kJson);
        count(req, res.status, std::to_string(res.status), started);
    });

    auto api = [this](const std::string& path,
                      std::function<std::pair<Reply, std::string>(const httplib::Request&)> answer) {
        http_->Post(path, [this, answer](const httplib::Request& req, httplib::Response& res) {
            const Started started = std::chrono::steady_clock::now();
            const HeaderLookup header = [&req](std::string_view name) {
                return req.get_header_value(std::string(name));
            };
            if (auto refused = checkClient(header, options_.versions)) {
                send(req, res, renderError(*refused), refused->code, started);
                return;
            }
            const auto [reply, result] = answer(req);
            send(req, res, reply, result, started);
        });
    };
    auto outcome = [](const std::string& error) { return error.empty() ? std::string("OK") : error; };
    api("/v2/nearby/", [this, outcome](const httplib::Request& req) {
        auto parsed = parseNearby(req.body);
        if (auto* error = std::get_if<ApiError>(&parsed)) {
            return failure(*error);
        }
        const auto result =
            query::nearby(*snapshots_(), std::get<query::NearbyParams>(parsed), clock_(), options_.engine);
        return std::pair{renderNearby(result), outcome(result.error)};
    });
    api("/v2/more/", [this, outcome](const httplib::Request& req) {
        auto parsed = parseDetails(req.body);
        if (auto* error = std::get_if<ApiError>(&parsed)) {
            return failure(*error);
        }
        const auto& d = std::get<DetailsRequest>(parsed);
        const auto result = query::tripDetails(*snapshots_(), d.city, d.tripId, d.stopId, clock_());
        return std::pair{renderTrip(result), outcome(result.error)};
    });
    api("/v2/vehicle/", [this, outcome](const httplib::Request& req) {
        auto parsed = parseDetails(req.body);
        if (auto* error = std::get_if<ApiError>(&parsed)) {
            return failure(*error);
        }
        const auto& d = std::get<DetailsRequest>(parsed);
        const auto result = query::vehicle(*snapshots_(), d.city, d.tripId, clock_());
        return std::pair{renderVehicle(result), outcome(result.error)};
    });

    http_->Get("/healthz", [this](const httplib::Request& req, httplib::Response& res) {
        const Started started = std::chrono::steady_clock::now();
        const auto sources =
            options_.realtimeStatus ? options_.realtimeStatus() : std::vector<realtime::SourceStatus>{};
        const Reply reply = renderHealth(*snapshots_(), sources, clock_());
        send(req, res, reply, std::to_string(reply.status), started);
    });
    http_->Get("/metrics", [this](const httplib::Request& req, httplib::Response& res) {
        const Started started = std::chrono::steady_clock::now();
        std::string text = metrics_.render();
        if (options_.realtimeStatus) {
            text += Metrics::renderRealtime(options_.realtimeStatus(), clock_());
        }
        res.set_content(text, "text/plain; version=0.0.4");
        count(req, 200, "200", started);
    });
}

}  // namespace velmo::api
