#include "station_file.h"

#include <cctype>
#include <filesystem>
#include <set>
#include <sstream>
#include <toml++/toml.h>

namespace flashwire::station {
namespace fs = std::filesystem;

const char* JobName(JobKind kind) {
    switch (kind) {
        case JobKind::Flash: return "flash";
        case JobKind::Verify: return "verify";
        case JobKind::ReadCompare: return "read-compare";
    }
    return "?";
}

bool IsPostgresUrl(const std::string& target) {
    return target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0;
}

namespace {

constexpr std::size_t kMaxSlots = 64;
constexpr std::size_t kMaxTextLength = 240;  // paths and option strings the library must hold

// A failure of the file: the line and the key it concerns.
struct FileError {
    uint32_t line;
    std::string key;
    std::string what;
};

class Reader {
public:
    explicit Reader(std::string path) : path_(std::move(path)), base_(fs::absolute(path_).parent_path()) {}

    std::string Format(const FileError& e) const {
        std::ostringstream out;
        out << path_ << ':' << e.line << ": " << e.key << ": " << e.what;
        return out.str();
    }

    static uint32_t LineOf(const toml::node& node) { return node.source().begin.line; }

    // Keys a table may hold; anything else is a typo worth naming.
    static void OnlyKeys(const toml::table& table, const std::string& prefix, std::set<std::string> allowed) {
        for (auto&& [key, node] : table) {
            if (!allowed.count(std::string(key.str()))) {
                throw FileError{LineOf(node), prefix + std::string(key.str()), "unknown key"};
            }
        }
    }

    static std::optional<std::string> Text(const toml::table& table, const std::string& prefix, const char* key,
                                           bool required, uint32_t tableLine) {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            if (required) throw FileError{tableLine, prefix + key, "missing (required)"};
            return std::nullopt;
        }
        const auto* value = node->as_string();
        if (value == nullptr) throw FileError{LineOf(*node), prefix + key, "expected a string"};
        const std::string& text = value->get();
        if (text.empty() && required) throw FileError{LineOf(*node), prefix + key, "must not be empty"};
        if (text.size() > kMaxTextLength) {
            throw FileError{LineOf(*node), prefix + key, "longer than 240 characters"};
        }
        if (text.find('"') != std::string::npos) {
            throw FileError{LineOf(*node), prefix + key, "must not contain a double quote"};
        }
        return text;
    }

    std::string Path(const std::string& text) const {
        const fs::path p(text);
        return (p.is_absolute() ? p : base_ / p).lexically_normal().string();
    }

    StationConfig Read(const toml::table& root) {
        StationConfig cfg;
        cfg.path = path_;
        OnlyKeys(root, "", {"station", "recipe", "slot"});

        const toml::table* station = root["station"].as_table();
        if (station == nullptr) throw FileError{1, "station", "missing table [station]"};
        const uint32_t stationLine = LineOf(*station);
        OnlyKeys(*station, "station.", {"name", "results", "log_dir", "config_dir", "phones_per_slot", "job_timeout",
                                       "pause_between_jobs"});
        cfg.name = *Text(*station, "station.", "name", true, stationLine);
        for (char c : cfg.name) {
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')) {
                throw FileError{LineOf(*station->get("name")), "station.name",
                                "only letters, digits, '-', '_' and '.' (it names files and phones)"};
            }
        }
        const std::string results = Text(*station, "station.", "results", false, stationLine).value_or("results.db");
        cfg.results = IsPostgresUrl(results) ? results : Path(results);
        cfg.logDir = Path(Text(*station, "station.", "log_dir", false, stationLine).value_or("logs"));
        if (auto dir = Text(*station, "station.", "config_dir", false, stationLine)) cfg.configDir = Path(*dir);
        if (const toml::node* n = station->get("phones_per_slot")) {
            const auto* v = n->as_integer();
            if (v == nullptr || v->get() < 0 || v->get() > 1000000) {
                throw FileError{LineOf(*n), "station.phones_per_slot", "expected a whole number from 0 to 1000000"};
            }
            cfg.phonesPerSlot = static_cast<uint32_t>(v->get());
        }
        if (const toml::node* n = station->get("job_timeout")) {
            const auto v = n->value<double>();
            if (!v || !(*v > 0 && *v <= 86400)) {
                throw FileError{LineOf(*n), "station.job_timeout", "expected seconds above 0 (at most 86400)"};
            }
            cfg.jobTimeoutSeconds = *v;
        }

        if (const toml::node* n = station->get("pause_between_jobs")) {
            const auto v = n->value<double>();
            if (!v || !(*v >= 0 && *v <= 60)) {
                throw FileError{LineOf(*n), "station.pause_between_jobs", "expected seconds from 0 to 60"};
            }
            cfg.pauseBetweenJobsSeconds = *v;
        }

        const toml::table* recipe = root["recipe"].as_table();
        if (recipe == nullptr) throw FileError{1, "recipe", "missing table [recipe]"};
        const uint32_t recipeLine = LineOf(*recipe);
        OnlyKeys(*recipe, "recipe.", {"name", "platform", "image", "jobs", "options"});
        const std::string platform = *Text(*recipe, "recipe.", "platform", true, recipeLine);
        const std::string image = Path(*Text(*recipe, "recipe.", "image", true, recipeLine));
        const std::string options = Text(*recipe, "recipe.", "options", false, recipeLine).value_or("");
        if (const toml::node* n = recipe->get("jobs")) {
            const auto* jobs = n->as_array();
            if (jobs == nullptr || jobs->empty() || jobs->size() > 3) {
                throw FileError{LineOf(*n), "recipe.jobs", "expected a list of 1 to 3 jobs"};
            }
            for (const toml::node& job : *jobs) {
                const auto name = job.value<std::string>();
                if (name == "flash") cfg.jobs.push_back(JobKind::Flash);
                else if (name == "verify") cfg.jobs.push_back(JobKind::Verify);
                else if (name == "read-compare") cfg.jobs.push_back(JobKind::ReadCompare);
                else throw FileError{LineOf(job), "recipe.jobs", "a job is \"flash\", \"verify\" or \"read-compare\""};
            }
        } else {
            cfg.jobs = {JobKind::Flash, JobKind::Verify};
        }
        std::string jobList;
        for (JobKind job : cfg.jobs) jobList += (jobList.empty() ? "" : "+") + std::string(JobName(job));
        cfg.recipeName = Text(*recipe, "recipe.", "name", false, recipeLine)
                             .value_or(platform + ":" + fs::path(image).filename().string() + ":" + jobList);

        const toml::node* slotsNode = root.get("slot");
        const toml::array* slots = slotsNode ? slotsNode->as_array() : nullptr;
        if (slots == nullptr || slots->empty()) {
            throw FileError{slotsNode ? LineOf(*slotsNode) : 1, "slot", "no [[slot]] tables: a station needs one slot at least"};
        }
        if (slots->size() > kMaxSlots) throw FileError{LineOf(*slotsNode), "slot", "more than 64 slots"};
        std::set<std::string> names;
        std::set<std::string> devices;
        for (std::size_t i = 0; i < slots->size(); ++i) {
            const toml::table* t = (*slots)[i].as_table();
            const std::string prefix = "slot[" + std::to_string(i + 1) + "].";
            if (t == nullptr) throw FileError{LineOf((*slots)[i]), "slot", "each slot is a [[slot]] table"};
            const uint32_t line = LineOf(*t);
            OnlyKeys(*t, prefix, {"name", "ports", "platform", "image", "options"});
            Slot slot;
            slot.name = Text(*t, prefix, "name", false, line).value_or(std::to_string(i + 1));
            for (char c : slot.name) {
                if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')) {
                    throw FileError{line, prefix + "name", "only letters, digits, '-', '_' and '.'"};
                }
            }
            if (slot.name.empty() || !names.insert(slot.name).second) {
                throw FileError{line, prefix + "name", "empty, or the name of an earlier slot"};
            }
            const toml::node* ports = t->get("ports");
            const toml::array* list = ports ? ports->as_array() : nullptr;
            if (list == nullptr || list->empty() || list->size() > 2) {
                throw FileError{ports ? LineOf(*ports) : line, prefix + "ports",
                                "expected a list of one or two serial devices"};
            }
            for (const toml::node& port : *list) {
                const auto path = port.value<std::string>();
                if (!path || path->empty() || path->size() > 255) {
                    throw FileError{LineOf(port), prefix + "ports", "a device is a path of 1 to 255 characters"};
                }
                const std::string device = Path(*path);
                if (!devices.insert(device).second) {
                    throw FileError{LineOf(port), prefix + "ports", "device " + device + " is used by another slot"};
                }
                slot.ports.push_back(device);
            }
            slot.platform = Text(*t, prefix, "platform", false, line).value_or(platform);
            slot.image = Path(Text(*t, prefix, "image", false, line).value_or(image));
            const std::string own = Text(*t, prefix, "options", false, line).value_or("");
            slot.options = options.empty() ? own : own.empty() ? options : options + " " + own;
            cfg.slots.push_back(std::move(slot));
        }
        return cfg;
    }

private:
    std::string path_;
    fs::path base_;
};

}  // namespace

std::optional<StationConfig> LoadStationFile(const std::string& path, std::string& error) {
    Reader reader(path);
    toml::table root;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        error = path + ": no such station file (or not a regular file)";
        return std::nullopt;
    }
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        std::ostringstream out;
        out << path << ':' << e.source().begin.line << ": " << e.description();
        error = out.str();
        return std::nullopt;
    }
    try {
        return reader.Read(root);
    } catch (const FileError& e) {
        error = reader.Format(e);
        return std::nullopt;
    }
}

}  // namespace flashwire::station
