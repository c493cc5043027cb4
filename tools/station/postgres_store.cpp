// Results in PostgreSQL (a line of many stations writing to one server).
// Same schema and migrations as the SQLite file.
#include <libpq-fe.h>

#include <algorithm>
#include <memory>
#include <string>

#include "result_store.h"

namespace flashwire::station {
namespace {

std::string Expand(std::string sql) {
    for (auto [from, to] : {std::pair<std::string, std::string>{"{id}", "BIGSERIAL PRIMARY KEY"},
                            {"{real}", "DOUBLE PRECISION"}}) {
        for (std::size_t at; (at = sql.find(from)) != std::string::npos;) sql.replace(at, from.size(), to);
    }
    return sql;
}

struct ResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

class PostgresStore final : public ResultStore {
public:
    ~PostgresStore() override { PQfinish(conn_); }

    bool Open(const std::string& url, std::string& error) {
        conn_ = PQconnectdb(url.c_str());
        if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
            error = "cannot connect to the results database: " + Message() +
                    " (check the postgresql:// URL in the station file and that the server runs)";
            return false;
        }
        return Migrate(error);
    }

    bool Insert(ResultRow& row, std::string& error) override {
        const std::string phoneNumber = row.phoneNumber ? std::to_string(*row.phoneNumber) : "";
        const std::string values[] = {row.station,   row.slot,       row.phone,
                                      phoneNumber,   row.chipIds,    row.recipe,
                                      row.imageCrc32, row.job,       row.startedAt,
                                      row.endedAt,   Number(row.durationSeconds), std::to_string(row.bytes),
                                      Number(row.throughput), std::to_string(row.resultCode), row.resultName,
                                      row.lastError, row.logPath};
        const char* params[17];
        for (int i = 0; i < 17; ++i) params[i] = values[i].c_str();
        params[3] = row.phoneNumber ? params[3] : nullptr;
        Result r = Exec(
            "INSERT INTO results (station, slot, phone, phone_number, chip_ids, recipe, image_crc32, job,"
            " started_at, ended_at, duration_s, bytes, throughput_bps, result_code, result_name, last_error,"
            " log_path) VALUES ($1,$2,$3,$4,$5,$6,$7,$8,$9,$10,$11,$12,$13,$14,$15,$16,$17) RETURNING id",
            17, params);
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) return Fail(error);
        row.id = std::stoll(PQgetvalue(r.get(), 0, 0));
        return true;
    }

    bool Query(const ResultQuery& query, std::vector<ResultRow>& rows, std::string& error) override {
        std::string sql =
            "SELECT id, station, slot, phone, phone_number, chip_ids, recipe, image_crc32, job, started_at, ended_at,"
            " duration_s, bytes, throughput_bps, result_code, result_name, last_error, log_path FROM results"
            " WHERE ended_at >= $1 AND ($2 = '' OR station = $2)";
        sql += query.limit ? " ORDER BY id DESC LIMIT " + std::to_string(query.limit) : " ORDER BY id";
        const char* params[] = {query.since.c_str(), query.station.c_str()};
        Result r = Exec(sql.c_str(), 2, params);
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) return Fail(error);
        const int n = PQntuples(r.get());
        for (int i = 0; i < n; ++i) {
            auto text = [&](int c) { return std::string(PQgetvalue(r.get(), i, c)); };
            ResultRow row;
            row.id = std::stoll(text(0));
            row.station = text(1);
            row.slot = text(2);
            row.phone = text(3);
            if (!PQgetisnull(r.get(), i, 4)) row.phoneNumber = std::stoll(text(4));
            row.chipIds = text(5);
            row.recipe = text(6);
            row.imageCrc32 = text(7);
            row.job = text(8);
            row.startedAt = text(9);
            row.endedAt = text(10);
            row.durationSeconds = std::stod(text(11));
            row.bytes = std::stoll(text(12));
            row.throughput = std::stod(text(13));
            row.resultCode = std::stoll(text(14));
            row.resultName = text(15);
            row.lastError = text(16);
            row.logPath = text(17);
            rows.push_back(std::move(row));
        }
        if (query.limit) std::reverse(rows.begin(), rows.end());
        return true;
    }

    bool LastPhoneNumber(const std::string& station, const std::string& slot, int64_t& number,
                         std::string& error) override {
        const char* params[] = {station.c_str(), slot.c_str()};
        Result r = Exec("SELECT COALESCE(MAX(phone_number), 0) FROM results WHERE station = $1 AND slot = $2", 2,
                        params);
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) return Fail(error);
        number = std::stoll(PQgetvalue(r.get(), 0, 0));
        return true;
    }

    int SchemaVersion() const override { return version_; }

private:
    static std::string Number(double value) {
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", value);
        return text;
    }

    std::string Message() const {
        std::string text = conn_ ? PQerrorMessage(conn_) : "out of memory";
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        return text;
    }

    bool Fail(std::string& error) {
        error = "PostgreSQL: " + Message();
        return false;
    }

    // One statement with text parameters; a connection lost in between (a
    // server restart) is opened again once before giving up.
    Result Exec(const char* sql, int count, const char* const* params) {
        Result r(PQexecParams(conn_, sql, count, nullptr, params, nullptr, nullptr, 0));
        if (PQstatus(conn_) == CONNECTION_BAD) {
            PQreset(conn_);
            if (PQstatus(conn_) == CONNECTION_OK) {
                r.reset(PQexecParams(conn_, sql, count, nullptr, params, nullptr, nullptr, 0));
            }
        }
        return r;
    }

    bool Command(const std::string& sql, std::string& error) {
        Result r(PQexec(conn_, sql.c_str()));
        if (PQresultStatus(r.get()) != PGRES_COMMAND_OK && PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
            return Fail(error);
        }
        return true;
    }

    // Stations of one line may start together: an advisory lock held for the
    // transaction lets one of them apply the missing steps.
    bool Migrate(std::string& error) {
        if (!Command("SET client_min_messages = warning", error) || !Command("BEGIN", error)) return false;
        bool ok = Command("SELECT pg_advisory_xact_lock(7018181)", error) &&
                  Command("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)", error);
        int version = 0;
        if (ok) {
            Result r(PQexec(conn_, "SELECT COALESCE(MAX(version), 0) FROM schema_version"));
            ok = PQresultStatus(r.get()) == PGRES_TUPLES_OK;
            if (ok) version = std::stoi(PQgetvalue(r.get(), 0, 0));
            else Fail(error);
        }
        const auto& migrations = SchemaMigrations();
        if (ok && version > static_cast<int>(migrations.size())) {
            error = "the results database holds a newer schema (" + std::to_string(version) +
                    ") than this program knows (" + std::to_string(migrations.size()) + "): update flashwire-station";
            ok = false;
        }
        for (int v = version; ok && v < static_cast<int>(migrations.size()); ++v) {
            ok = Command(Expand(migrations[v]), error) &&
                 Command("DELETE FROM schema_version; INSERT INTO schema_version VALUES (" + std::to_string(v + 1) + ")",
                         error);
        }
        if (!ok) {
            std::string ignored;
            Command("ROLLBACK", ignored);
            return false;
        }
        version_ = static_cast<int>(migrations.size());
        return Command("COMMIT", error);
    }

    PGconn* conn_ = nullptr;
    int version_ = 0;
};

}  // namespace

std::unique_ptr<ResultStore> OpenPostgresStore(const std::string& url, std::string& error) {
    auto store = std::make_unique<PostgresStore>();
    if (!store->Open(url, error)) return nullptr;
    return store;
}

}  // namespace flashwire::station
