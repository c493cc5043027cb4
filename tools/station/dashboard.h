// The station's live dashboard: one page (built into the program), a tile
// per slot updated through Server-Sent Events, the latest results, a CSV
// download and a small JSON API. Served with cpp-httplib.
#pragma once

#include <memory>
#include <string>

#include "station.h"

namespace flashwire::station {

struct HttpAddress {
    std::string host;
    int port = 0;
};

// "127.0.0.1:8080", "[::1]:8080", "localhost:8080"; false when malformed.
bool ParseHttpAddress(const std::string& text, HttpAddress& address, std::string& error);
bool IsLoopback(const std::string& host);

class Dashboard {
public:
    // An empty token means none is asked for (only allowed on loopback
    // addresses; main checks that).
    Dashboard(Station& station, HttpAddress address, std::string token);
    ~Dashboard();
    Dashboard(const Dashboard&) = delete;
    Dashboard& operator=(const Dashboard&) = delete;

    bool Start(std::string& error);
    // Hands an event to every open event stream.
    void Publish(const Json& event);
    void Stop();
    int Port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace flashwire::station
