// Results in one SQLite file, in WAL mode (readers, such as `results` or the
// dashboard, never block the station's writes).
#include <sqlite3.h>

#include <algorithm>
#include <string>

#include "result_store.h"

namespace flashwire::station {
namespace {

std::string Expand(std::string sql) {
    for (auto [from, to] : {std::pair<std::string, std::string>{"{id}", "INTEGER PRIMARY KEY AUTOINCREMENT"},
                            {"{real}", "REAL"}}) {
        for (std::size_t at; (at = sql.find(from)) != std::string::npos;) sql.replace(at, from.size(), to);
    }
    return sql;
}

class Statement {
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return stmt_; }
    explicit operator bool() const { return stmt_ != nullptr; }
    void Text(int index, const std::string& text) {
        sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

std::string ColumnText(sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    return text ? reinterpret_cast<const char*>(text) : "";
}

class SqliteStore final : public ResultStore {
public:
    ~SqliteStore() override { sqlite3_close(db_); }

    bool Open(const std::string& path, std::string& error) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                            nullptr) != SQLITE_OK) {
            error = "cannot open the results file " + path + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory") +
                    " (check the folder exists and is writable)";
            return false;
        }
        sqlite3_busy_timeout(db_, 10000);
        if (!Exec("PRAGMA journal_mode=WAL;", error) || !Exec("PRAGMA synchronous=NORMAL;", error)) return false;
        return Migrate(path, error);
    }

    bool Insert(ResultRow& row, std::string& error) override {
        Statement stmt(db_,
                       "INSERT INTO results (station, slot, phone, phone_number, chip_ids, recipe, image_crc32, job,"
                       " started_at, ended_at, duration_s, bytes, throughput_bps, result_code, result_name,"
                       " last_error, log_path) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
        if (!stmt) return Fail(error);
        stmt.Text(1, row.station);
        stmt.Text(2, row.slot);
        stmt.Text(3, row.phone);
        if (row.phoneNumber) sqlite3_bind_int64(stmt.get(), 4, *row.phoneNumber);
        stmt.Text(5, row.chipIds);
        stmt.Text(6, row.recipe);
        stmt.Text(7, row.imageCrc32);
        stmt.Text(8, row.job);
        stmt.Text(9, row.startedAt);
        stmt.Text(10, row.endedAt);
        sqlite3_bind_double(stmt.get(), 11, row.durationSeconds);
        sqlite3_bind_int64(stmt.get(), 12, row.bytes);
        sqlite3_bind_double(stmt.get(), 13, row.throughput);
        sqlite3_bind_int64(stmt.get(), 14, row.resultCode);
        stmt.Text(15, row.resultName);
        stmt.Text(16, row.lastError);
        stmt.Text(17, row.logPath);
        if (sqlite3_step(stmt.get()) != SQLITE_DONE) return Fail(error);
        row.id = sqlite3_last_insert_rowid(db_);
        return true;
    }

    bool Query(const ResultQuery& query, std::vector<ResultRow>& rows, std::string& error) override {
        std::string sql =
            "SELECT id, station, slot, phone, phone_number, chip_ids, recipe, image_crc32, job, started_at, ended_at,"
            " duration_s, bytes, throughput_bps, result_code, result_name, last_error, log_path FROM results"
            " WHERE ended_at >= ?1 AND (?2 = '' OR station = ?2)";
        sql += query.limit ? " ORDER BY id DESC LIMIT " + std::to_string(query.limit) : " ORDER BY id";
        Statement stmt(db_, sql.c_str());
        if (!stmt) return Fail(error);
        stmt.Text(1, query.since);
        stmt.Text(2, query.station);
        int rc;
        while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
            sqlite3_stmt* s = stmt.get();
            ResultRow row;
            row.id = sqlite3_column_int64(s, 0);
            row.station = ColumnText(s, 1);
            row.slot = ColumnText(s, 2);
            row.phone = ColumnText(s, 3);
            if (sqlite3_column_type(s, 4) != SQLITE_NULL) row.phoneNumber = sqlite3_column_int64(s, 4);
            row.chipIds = ColumnText(s, 5);
            row.recipe = ColumnText(s, 6);
            row.imageCrc32 = ColumnText(s, 7);
            row.job = ColumnText(s, 8);
            row.startedAt = ColumnText(s, 9);
            row.endedAt = ColumnText(s, 10);
            row.durationSeconds = sqlite3_column_double(s, 11);
            row.bytes = sqlite3_column_int64(s, 12);
            row.throughput = sqlite3_column_double(s, 13);
            row.resultCode = sqlite3_column_int64(s, 14);
            row.resultName = ColumnText(s, 15);
            row.lastError = ColumnText(s, 16);
            row.logPath = ColumnText(s, 17);
            rows.push_back(std::move(row));
        }
        if (rc != SQLITE_DONE) return Fail(error);
        if (query.limit) std::reverse(rows.begin(), rows.end());
        return true;
    }

    bool LastPhoneNumber(const std::string& station, const std::string& slot, int64_t& number,
                         std::string& error) override {
        Statement stmt(db_, "SELECT COALESCE(MAX(phone_number), 0) FROM results WHERE station = ? AND slot = ?");
        if (!stmt) return Fail(error);
        stmt.Text(1, station);
        stmt.Text(2, slot);
        if (sqlite3_step(stmt.get()) != SQLITE_ROW) return Fail(error);
        number = sqlite3_column_int64(stmt.get(), 0);
        return true;
    }

    int SchemaVersion() const override { return version_; }

private:
    bool Fail(std::string& error) {
        error = std::string("SQLite: ") + sqlite3_errmsg(db_);
        return false;
    }

    bool Exec(const std::string& sql, std::string& error) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            error = std::string("SQLite: ") + (message ? message : sqlite3_errmsg(db_));
            sqlite3_free(message);
            return false;
        }
        return true;
    }

    // Every missing migration in one transaction, taken before anything is
    // read (BEGIN IMMEDIATE), so two stations starting on one file at once
    // never both apply the same step.
    bool Migrate(const std::string& path, std::string& error) {
        if (!Exec("BEGIN IMMEDIATE;", error)) return false;
        bool ok = Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL);", error);
        int version = 0;
        if (ok) {
            Statement stmt(db_, "SELECT COALESCE(MAX(version), 0) FROM schema_version");
            ok = stmt && sqlite3_step(stmt.get()) == SQLITE_ROW;
            if (ok) version = sqlite3_column_int(stmt.get(), 0);
            else Fail(error);
        }
        const auto& migrations = SchemaMigrations();
        if (ok && version > static_cast<int>(migrations.size())) {
            error = path + " holds results of a newer station (schema " + std::to_string(version) +
                    ", this program knows " + std::to_string(migrations.size()) + "): update flashwire-station";
            ok = false;
        }
        for (int v = version; ok && v < static_cast<int>(migrations.size()); ++v) {
            ok = Exec(Expand(migrations[v]), error) &&
                 Exec("DELETE FROM schema_version; INSERT INTO schema_version VALUES (" + std::to_string(v + 1) + ");",
                      error);
        }
        if (!ok) {
            std::string ignored;
            Exec("ROLLBACK;", ignored);
            return false;
        }
        version_ = static_cast<int>(migrations.size());
        return Exec("COMMIT;", error);
    }

    sqlite3* db_ = nullptr;
    int version_ = 0;
};

}  // namespace

std::unique_ptr<ResultStore> OpenSqliteStore(const std::string& path, std::string& error) {
    auto store = std::make_unique<SqliteStore>();
    if (!store->Open(path, error)) return nullptr;
    return store;
}

}  // namespace flashwire::station
