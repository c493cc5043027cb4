// The station file: a TOML description of a flashing station (its name, the
// recipe every phone goes through, the slots and their serial devices, where
// results and logs go). docs/station.md describes every key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace flashwire::station {

enum class JobKind { Flash, Verify, ReadCompare };

const char* JobName(JobKind kind);

struct Slot {
    std::string name;                // unique within the station
    std::vector<std::string> ports;  // one or two serial devices
    std::string platform;            // the recipe's unless overridden
    std::string image;               // absolute path
    std::string options;             // recipe extras, then the slot's own
};

struct StationConfig {
    std::string path;       // the station file itself
    std::string name;
    std::string results;    // SQLite file (absolute) or a postgresql:// URL
    std::string logDir;     // absolute
    std::string configDir;  // the library's data directory; empty: the default
    std::string recipeName;
    std::vector<JobKind> jobs;
    uint32_t phonesPerSlot = 0;  // 0: until the station stops
    double jobTimeoutSeconds = 0;  // 0: no limit once the phone answered
    // Between one job's end and the next job's start on a slot: the end byte
    // of a job must have left the port before the next job opens it again.
    double pauseBetweenJobsSeconds = 0.25;
    std::vector<Slot> slots;
};

// Reads and checks the file. On failure returns nothing and sets error to a
// line naming the file, the line and the key.
std::optional<StationConfig> LoadStationFile(const std::string& path, std::string& error);

// True for a postgresql:// (or postgres://) URL.
bool IsPostgresUrl(const std::string& target);

}  // namespace flashwire::station
