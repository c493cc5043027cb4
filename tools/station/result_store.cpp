#include "result_store.h"

#include "station_file.h"

namespace flashwire::station {

const std::vector<std::string>& SchemaMigrations() {
    static const std::vector<std::string> migrations = {
        // 1: one row per job of a phone.
        "CREATE TABLE results ("
        " id {id},"
        " station TEXT NOT NULL,"
        " slot TEXT NOT NULL,"
        " phone TEXT NOT NULL,"
        " phone_number BIGINT,"
        " chip_ids TEXT NOT NULL,"
        " recipe TEXT NOT NULL,"
        " image_crc32 TEXT NOT NULL,"
        " job TEXT NOT NULL,"
        " started_at TEXT NOT NULL,"
        " ended_at TEXT NOT NULL,"
        " duration_s {real} NOT NULL,"
        " bytes BIGINT NOT NULL,"
        " throughput_bps {real} NOT NULL,"
        " result_code INTEGER NOT NULL,"
        " result_name TEXT NOT NULL,"
        " last_error TEXT NOT NULL,"
        " log_path TEXT NOT NULL);"
        "CREATE INDEX results_ended_at ON results (ended_at);"
        "CREATE INDEX results_station_slot ON results (station, slot, phone_number);",
    };
    return migrations;
}

const std::vector<std::string>& ResultColumns() {
    static const std::vector<std::string> columns = {
        "id",       "station",    "slot",        "phone",       "phone_number", "chip_ids",
        "recipe",   "image_crc32", "job",        "started_at",  "ended_at",     "duration_s",
        "bytes",    "throughput_bps", "result_code", "result_name", "last_error", "log_path"};
    return columns;
}

std::unique_ptr<ResultStore> OpenResultStore(const std::string& target, std::string& error) {
    if (IsPostgresUrl(target)) return OpenPostgresStore(target, error);
    return OpenSqliteStore(target, error);
}

}  // namespace flashwire::station
