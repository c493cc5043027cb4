#include "dashboard.h"

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

#include "dashboard_page.h"

namespace flashwire::station {
namespace {

constexpr std::size_t kMaxQueuedEvents = 4096;  // per event stream; a stalled reader loses the oldest
constexpr std::size_t kMaxResultRows = 10000;

// Compares without stopping at the first difference.
bool SameToken(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace

bool IsLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

bool ParseHttpAddress(const std::string& text, HttpAddress& address, std::string& error) {
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "--http " + text + ": expected [ADDRESS]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos) {
            error = "--http " + text + ": expected ADDRESS:PORT, for example 127.0.0.1:8080";
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty() || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535) {
        error = "--http " + text + ": expected ADDRESS:PORT with a port from 0 to 65535";
        return false;
    }
    address.host = host;
    address.port = std::stoi(port);
    return true;
}

struct Dashboard::Impl {
    Station& station;
    HttpAddress address;
    std::string token;
    httplib::Server server;
    std::thread thread;
    int port = 0;

    struct Stream {
        std::deque<std::string> queue;
    };
    std::mutex mutex;
    std::condition_variable wake;
    std::list<std::shared_ptr<Stream>> streams;
    std::atomic<bool> stopping{false};

    Impl(Station& s, HttpAddress a, std::string t) : station(s), address(std::move(a)), token(std::move(t)) {}

    bool Authorised(const httplib::Request& req) const {
        if (token.empty()) return true;
        if (req.has_param("token") && SameToken(req.get_param_value("token"), token)) return true;
        const std::string header = req.get_header_value("Authorization");
        return header.rfind("Bearer ", 0) == 0 && SameToken(header.substr(7), token);
    }

    static void Json(httplib::Response& res, const station::Json& body) {
        res.set_content(body.dump(-1, ' ', false, station::Json::error_handler_t::replace), "application/json");
    }

    void Routes() {
        server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            res.set_header("Cache-Control", "no-store");
            res.set_header("X-Content-Type-Options", "nosniff");
            if (!Authorised(req)) {
                res.status = 401;
                res.set_header("WWW-Authenticate", "Bearer");
                res.set_content("401 Unauthorized: this station's dashboard needs its token (?token=... or an "
                                "Authorization: Bearer header)\n",
                                "text/plain");
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
        server.Get("/", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("Content-Security-Policy",
                           "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                           "connect-src 'self'; img-src 'self'; form-action 'none'; frame-ancestors 'none'");
            res.set_content(kDashboardPage, "text/html; charset=utf-8");
        });
        server.Get("/api/station", [this](const httplib::Request&, httplib::Response& res) {
            const auto& cfg = station.Config();
            station::Json body;
            body["name"] = cfg.name;
            body["recipe"] = cfg.recipeName;
            body["slots"] = cfg.slots.size();
            Json(res, body);
        });
        server.Get("/api/slots", [this](const httplib::Request&, httplib::Response& res) {
            Json(res, station.SlotsJson());
        });
        server.Get("/api/results", [this](const httplib::Request& req, httplib::Response& res) {
            std::size_t limit = 200;
            if (req.has_param("limit")) {
                const std::string text = req.get_param_value("limit");
                if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) {
                    res.status = 400;
                    res.set_content("limit: a whole number from 1 to 10000\n", "text/plain");
                    return;
                }
                limit = std::clamp<std::size_t>(std::stoul(text), 1, kMaxResultRows);
            }
            Json(res, station.ResultsJson(limit));
        });
        server.Get("/api/results.csv", [this](const httplib::Request&, httplib::Response& res) {
            res.set_header("Content-Disposition",
                           "attachment; filename=\"" + station.Config().name + "-results.csv\"");
            res.set_content(station.ResultsCsv(), "text/csv; charset=utf-8");
        });
        server.Post(R"(/api/slots/([A-Za-z0-9._-]+)/serial)",
                    [this](const httplib::Request& req, httplib::Response& res) {
                        std::string serial = req.has_param("serial") ? req.get_param_value("serial") : "";
                        if (serial.empty()) {
                            const auto body = station::Json::parse(req.body, nullptr, false);
                            if (body.is_object()) serial = body.value("serial", "");
                        }
                        std::string error;
                        if (!station.SetSerial(req.matches[1], serial, error)) {
                            res.status = error.rfind("no slot", 0) == 0 ? 404 : 400;
                            Json(res, {{"error", error}});
                            return;
                        }
                        Json(res, {{"slot", std::string(req.matches[1])}, {"serial", serial}});
                    });
        server.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
            auto stream = std::make_shared<Stream>();
            {
                std::lock_guard lock(mutex);
                streams.push_back(stream);
            }
            res.set_header("X-Accel-Buffering", "no");
            res.set_chunked_content_provider(
                "text/event-stream",
                [this, stream](std::size_t, httplib::DataSink& sink) {
                    std::deque<std::string> batch;
                    {
                        std::unique_lock lock(mutex);
                        wake.wait_for(lock, std::chrono::seconds(1),
                                      [&] { return stopping.load() || !stream->queue.empty(); });
                        if (stopping.load()) return false;
                        batch.swap(stream->queue);
                    }
                    std::string out;
                    for (const auto& event : batch) out += "data: " + event + "\n\n";
                    if (out.empty()) out = ": keep-alive\n\n";
                    return sink.write(out.data(), out.size());
                },
                [this, stream](bool) {
                    std::lock_guard lock(mutex);
                    streams.remove(stream);
                });
        });
    }
};

Dashboard::Dashboard(Station& station, HttpAddress address, std::string token)
    : impl_(std::make_unique<Impl>(station, std::move(address), std::move(token))) {}

Dashboard::~Dashboard() { Stop(); }

bool Dashboard::Start(std::string& error) {
    impl_->Routes();
    // Event streams stay open: the pool needs room for them besides requests.
    impl_->server.new_task_queue = [] { return new httplib::ThreadPool(32); };
    impl_->server.set_keep_alive_timeout(5);
    if (impl_->address.port == 0) {
        impl_->port = impl_->server.bind_to_any_port(impl_->address.host.c_str());
    } else if (impl_->server.bind_to_port(impl_->address.host.c_str(), impl_->address.port)) {
        impl_->port = impl_->address.port;
    } else {
        impl_->port = -1;
    }
    if (impl_->port <= 0) {
        error = "cannot listen on " + impl_->address.host + ":" + std::to_string(impl_->address.port) +
                " (address in use or not of this machine?)";
        return false;
    }
    impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
    return true;
}

int Dashboard::Port() const { return impl_->port; }

void Dashboard::Publish(const Json& event) {
    const std::string text = event.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::lock_guard lock(impl_->mutex);
    for (auto& stream : impl_->streams) {
        if (stream->queue.size() >= kMaxQueuedEvents) stream->queue.pop_front();
        stream->queue.push_back(text);
    }
    impl_->wake.notify_all();
}

void Dashboard::Stop() {
    if (!impl_ || impl_->stopping.exchange(true)) return;
    impl_->wake.notify_all();
    impl_->server.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
}

}  // namespace flashwire::station
