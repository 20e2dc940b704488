#include "server/api/Server.h"

#include "server/api/Reply.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
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

// What the worker thread knows of the request it is answering, for metrics:
// httplib runs one request at a time per worker, from routing to its logger.
struct RequestTrace {
    std::chrono::steady_clock::time_point start;
    bool started = false;
    std::string result;
};
thread_local RequestTrace trace;

void send(httplib::Response& res, const Reply& reply, std::string result) {
    res.status = reply.status;
    res.set_content(reply.body, kJson);
    trace.result = std::move(result);
}

void sendError(httplib::Response& res, const ApiError& error) { send(res, renderError(error), error.code); }

std::pair<Reply, std::string> failure(const ApiError& error) { return {renderError(error), error.code}; }

std::string isoDate(date::sys_days d) { return date::format("%F", d); }

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

void Server::routes() {
    // Anything but POST on an API path is refused before its body is read.
    http_->set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        trace = {std::chrono::steady_clock::now(), true, {}};
        if (kApiPaths.contains(req.path) && req.method != "POST") {
            sendError(res, {kBadRequest, 405});
            res.set_header("Allow", "POST");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // Unknown paths, oversized bodies and unreadable requests still get the envelope.
    http_->set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        const int status = res.status == 404 || res.status == 405 || res.status == 413 ? res.status : 400;
        sendError(res, {kBadRequest, status});
        return httplib::Server::HandlerResponse::Handled;
    }));
    http_->set_exception_handler([](const httplib::Request& req, httplib::Response& res, std::exception_ptr ep) {
        try {
            std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            spdlog::error("{} {}: {}", req.method, req.path, e.what());
        } catch (...) {
            spdlog::error("{} {}: unknown error", req.method, req.path);
        }
        res.status = 500;
        res.set_content(R"({"error":true,"errorMessage":"SERVERERROR","errorMessageText":"Belső hiba"})", kJson);
    });
    http_->set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        const std::chrono::duration<double> took =
            trace.started ? std::chrono::steady_clock::now() - trace.start : std::chrono::duration<double>(0);
        const std::string result = trace.result.empty() ? std::to_string(res.status) : trace.result;
        spdlog::debug("{} {} {} {} {:.1f} ms", req.method, req.path, res.status, result, took.count() * 1000);
        metrics_.request(endpointName(req.path), result, took);
        trace = {};
    });

    auto api = [this](const std::string& path,
                      std::function<std::pair<Reply, std::string>(const httplib::Request&)> answer) {
        http_->Post(path, [this, answer](const httplib::Request& req, httplib::Response& res) {
            const HeaderLookup header = [&req](std::string_view name) {
                return req.get_header_value(std::string(name));
            };
            if (auto refused = checkClient(header, options_.versions)) {
                sendError(res, *refused);
                return;
            }
            const auto [reply, result] = answer(req);
            send(res, reply, result);
        });
    };
    api("/v2/nearby/", [this](const httplib::Request& req) {
        auto parsed = parseNearby(req.body);
        if (auto* error = std::get_if<ApiError>(&parsed)) {
            return failure(*error);
        }
        const auto snapshot = snapshots_();
        const auto result = query::nearby(*snapshot, std::get<query::NearbyParams>(parsed), clock_(), options_.engine);
        return std::pair{renderNearby(result), result.error.empty() ? std::string("OK") : result.error};
    });
    api("/v2/more/", [this](const httplib::Request& req) {
        auto parsed = parseDetails(req.body);
        if (auto* error = std::get_if<ApiError>(&parsed)) {
            return failure(*error);
        }
        const auto& d = std::get<DetailsRequest>(parsed);
        const auto snapshot = snapshots_();
        const auto result = query::tripDetails(*snapshot, d.city, d.tripId, d.stopId, clock_());
        return std::pair{renderTrip(result), result.error.empty() ? std::string("OK") : result.error};
    });
    api("/v2/vehicle/", [this](const httplib::Request& req) {
        auto parsed = parseDetails(req.body);
        if (auto* error = std::get_if<ApiError>(&parsed)) {
            return failure(*error);
        }
        const auto& d = std::get<DetailsRequest>(parsed);
        const auto snapshot = snapshots_();
        const query::City* city = snapshot->city(d.city);
        if (city == nullptr || !city->feed->tripById.contains(d.tripId)) {
            return failure({query::kNoTrip, 200});
        }
        const auto overlay = city->overlay(clock_());
        const realtime::VehicleState* vehicle = overlay ? overlay->vehicle(d.tripId) : nullptr;
        if (vehicle == nullptr) {
            return failure({kNoVehicle, 200});
        }
        return std::pair{renderVehicle(*vehicle), std::string("OK")};
    });

    http_->Get("/healthz", [this](const httplib::Request&, httplib::Response& res) {
        const auto snapshot = snapshots_();
        const auto now = clock_();
        const auto sources =
            options_.realtimeStatus ? options_.realtimeStatus() : std::vector<realtime::SourceStatus>{};
        nlohmann::json cities = nlohmann::json::array();
        for (const auto& c : snapshot->cities) {
            const auto& f = *c->feed;
            nlohmann::json live = nlohmann::json::array();
            std::optional<std::int64_t> age;  // of the freshest data the city holds
            for (const auto& s : sources) {
                if (s.city != c->key) {
                    continue;
                }
                const auto sourceAge =
                    s.dataTime ? std::optional(now.time_since_epoch().count() - *s.dataTime) : std::nullopt;
                if (sourceAge && (!age || *sourceAge < *age)) {
                    age = sourceAge;
                }
                live.push_back({{"source", s.location},
                                {"lastSuccess", s.lastSuccess ? nlohmann::json(*s.lastSuccess) : nlohmann::json()},
                                {"ageSeconds", sourceAge ? nlohmann::json(*sourceAge) : nlohmann::json()},
                                {"lastError", s.lastError},
                                {"failures", s.failures}});
            }
            cities.push_back({{"cityKey", c->key},
                              {"cityName", c->name},
                              {"feedStart", isoDate(f.info.startDate.value_or(f.calendar.firstDay()))},
                              {"feedEnd", isoDate(f.info.endDate.value_or(f.calendar.lastDay()))},
                              {"stops", f.stops.size()},
                              {"trips", f.trips.size()},
                              {"realtimeAgeSeconds", age ? nlohmann::json(*age) : nlohmann::json()},
                              {"realtime", live}});
        }
        const nlohmann::json j{{"error", false}, {"now", now.time_since_epoch().count()}, {"cities", cities}};
        res.set_content(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), kJson);
    });
    http_->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        std::string text = metrics_.render();
        if (options_.realtimeStatus) {
            text += Metrics::renderRealtime(options_.realtimeStatus(), clock_());
        }
        res.set_content(text, "text/plain; version=0.0.4");
    });
}

}  // namespace velmo::api
