#include "json_output.h"

#include <cmath>
#include <string>

namespace flashwire::cli {
namespace {

const char* ReasonName(AbortReason reason) {
    switch (reason) {
        case AbortReason::Interrupt: return "interrupt";
        case AbortReason::Timeout: return "timeout";
        case AbortReason::ConnectTimeout: return "connect_timeout";
        case AbortReason::None: break;
    }
    return "none";
}

}  // namespace

JsonOutput::JsonOutput(std::FILE* out) : out_(out), started_(std::chrono::steady_clock::now()) {}

nlohmann::ordered_json JsonOutput::Record(const char* type) const {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    nlohmann::ordered_json record;
    record["type"] = type;
    record["time"] = std::round(seconds * 1000.0) / 1000.0;
    return record;
}

void JsonOutput::Emit(const nlohmann::ordered_json& record) {
    const std::string line = record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void JsonOutput::Message(int level, std::string_view text) {
    auto record = Record("message");
    record["level"] = level;
    record["text"] = text;
    Emit(record);
}

void JsonOutput::Status(std::string_view text) {
    auto record = Record("status");
    record["text"] = text;
    Emit(record);
}

void JsonOutput::ProgressBegin(std::string_view text, uint32_t total) {
    total_ = total;
    done_ = 0;
    auto record = Record("progress_begin");
    record["text"] = text;
    record["total"] = total;
    Emit(record);
}

void JsonOutput::ProgressUpdate(uint32_t done, uint32_t percent) {
    done_ = done;
    auto record = Record("progress_update");
    record["done"] = done;
    record["total"] = total_;
    record["percent"] = percent;
    Emit(record);
}

void JsonOutput::ProgressEnd() {
    auto record = Record("progress_end");
    record["done"] = done_;
    record["total"] = total_;
    Emit(record);
}

void JsonOutput::Note(int level, std::string_view text) {
    auto record = Record("note");
    record["level"] = level;
    record["text"] = text;
    Emit(record);
}

void JsonOutput::Info(std::string_view text) {
    auto record = Record("info");
    record["text"] = text;
    Emit(record);
}

// One object when the wait begins; the elapsed time is the reader's to keep.
void JsonOutput::Waiting(std::string_view text, double seconds) {
    if (seconds > 0) return;
    auto record = Record("waiting");
    record["text"] = text;
    Emit(record);
}

void JsonOutput::Abort(AbortReason reason, std::string_view text) {
    auto record = Record("abort");
    record["reason"] = ReasonName(reason);
    record["text"] = text;
    Emit(record);
}

void JsonOutput::Error(std::string_view text) {
    auto record = Record("error");
    record["text"] = text;
    Emit(record);
}

void JsonOutput::Result(uint32_t code, std::string_view name, int exitStatus) {
    auto record = Record("result");
    record["code"] = code;
    record["name"] = name;
    record["exit_status"] = exitStatus;
    Emit(record);
}

}  // namespace flashwire::cli
