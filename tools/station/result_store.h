// Where the station records its results: one row per job of a phone, in a
// SQLite file (the default) or a PostgreSQL database, with the same schema,
// brought up to date by migrations when the station starts.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace flashwire::station {

struct ResultRow {
    int64_t id = 0;  // given by the database
    std::string station;
    std::string slot;
    std::string phone;
    std::optional<int64_t> phoneNumber;  // the station's counter when it named the phone
    std::string chipIds;
    std::string recipe;
    std::string imageCrc32;  // 8 hex digits
    std::string job;
    std::string startedAt;  // UTC, "YYYY-MM-DDTHH:MM:SS.mmmZ"
    std::string endedAt;
    double durationSeconds = 0;
    int64_t bytes = 0;
    double throughput = 0;  // bytes per second of the job's main phase
    int64_t resultCode = 0;
    std::string resultName;
    std::string lastError;
    std::string logPath;
};

struct ResultQuery {
    std::string since;  // rows that ended at or after this UTC time ("" = all)
    std::string station;  // "" = every station
    std::size_t limit = 0;  // 0 = no limit (the latest rows when set)
};

class ResultStore {
public:
    virtual ~ResultStore() = default;
    // Each call is one transaction: a row is stored whole or not at all.
    virtual bool Insert(ResultRow& row, std::string& error) = 0;
    virtual bool Query(const ResultQuery& query, std::vector<ResultRow>& rows, std::string& error) = 0;
    // The highest counter the station gave a phone of this slot (0: none yet).
    virtual bool LastPhoneNumber(const std::string& station, const std::string& slot, int64_t& number,
                                 std::string& error) = 0;
    virtual int SchemaVersion() const = 0;
};

// Opens (creating when needed) the SQLite file or connects to the
// postgresql:// URL and applies the missing migrations.
std::unique_ptr<ResultStore> OpenResultStore(const std::string& target, std::string& error);
std::unique_ptr<ResultStore> OpenSqliteStore(const std::string& path, std::string& error);
std::unique_ptr<ResultStore> OpenPostgresStore(const std::string& url, std::string& error);

// The schema's migrations, in order: entry k brings version k to k + 1.
// Written in the SQL both databases understand, with two placeholders:
// {id} for the key column's type and {real} for floating point.
const std::vector<std::string>& SchemaMigrations();

// The columns, in the order of CSV and JSON output.
const std::vector<std::string>& ResultColumns();

}  // namespace flashwire::station
