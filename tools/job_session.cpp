#include "job_session.h"

#include <cstddef>
#include <cstdio>
#include <type_traits>

namespace flashwire::cli {
namespace {

std::string_view TextOf(const char* text) { return text ? std::string_view(text) : std::string_view(); }

}  // namespace

// The library's line when the job begins to wait for the phone's boot ROM.
constexpr std::string_view kPowerOn = "Power on mobile !";

JobSession::JobSession(Reporter& reporter, const InterruptWatch& interrupts, std::optional<double> timeoutSeconds,
                       std::optional<double> connectTimeoutSeconds)
    : reporter_(reporter), interrupts_(interrupts) {
    if (timeoutSeconds) timeout_ = std::chrono::duration<double>(*timeoutSeconds);
    if (connectTimeoutSeconds) connectTimeout_ = std::chrono::duration<double>(*connectTimeoutSeconds);
    static_assert(std::is_standard_layout_v<HostHandle> && offsetof(HostHandle, handle) == 0,
                  "the callbacks find the session from the handle's address");
    host_.session = this;
}

JobSession::~JobSession() {
    if (bound_) FlashFinish(&host_.handle);
}

JobSession& JobSession::From(FlashHandle* handle) { return *reinterpret_cast<HostHandle*>(handle)->session; }

uint32_t JobSession::Init(FlashOptions& options) {
    host_.handle.size = sizeof(FlashHandle);
    const uint32_t rc = FlashInit(&host_.handle, &options);
    if (rc != SUCCESS) return rc;
    bound_ = true;
    // FlashInit empties the callback slots; they are stored afterwards.
    host_.handle.progressBegin = OnProgressBegin;
    host_.handle.progressUpdate = OnProgressUpdate;
    host_.handle.progressEnd = OnProgressEnd;
    host_.handle.status = OnStatus;
    host_.handle.message = OnMessage;
    host_.handle.abortPoll = OnAbortPoll;
    return SUCCESS;
}

uint32_t JobSession::SetDataDirectory(const std::string& directory) {
    return FlashSetDataDirectory(&host_.handle, directory.c_str());
}

uint32_t JobSession::SetTraceFile(const std::string& path) {
    return FlashSetTraceFile(&host_.handle, path.c_str());
}

uint32_t JobSession::ParseOptions(const std::string& optionString, FlashOptions& options) {
    int32_t count = 0;
    return FlashParseOptionString(&host_.handle, optionString.c_str(), &count, &options);
}

void JobSession::Prepare(const JobFacts& facts, std::string waitPort) {
    notes_ = LineNotes(facts);
    waitPort_ = std::move(waitPort);
    waitText_ = "Waiting for the phone on " + waitPort_ + ": switch it on or reset it now";
}

uint32_t JobSession::Run(FlashOptions& options) {
    jobStart_ = std::chrono::steady_clock::now();
    const uint32_t rc = FlashLoad(&host_.handle, &options);
    EndWaiting();
    return rc;
}

void JobSession::EndWaiting() {
    if (!waitingSince_) return;
    waitingSince_.reset();
    reporter_.WaitingEnded();
}

int32_t JobSession::OnProgressBegin(FlashHandle* handle, const char* text, uint32_t total) {
    JobSession& self = From(handle);
    // Any phase but the power-on step means the phone answered.
    if (TextOf(text) != kPowerOn) self.EndWaiting();
    self.notes_.ProgressBegin(TextOf(text), total);
    self.reporter_.ProgressBegin(TextOf(text), total);
    return 0;
}

int32_t JobSession::OnProgressUpdate(FlashHandle* handle, uint32_t done, uint32_t percent) {
    JobSession& self = From(handle);
    self.notes_.ProgressUpdate(done);
    self.reporter_.ProgressUpdate(done, percent);
    return 0;
}

int32_t JobSession::OnProgressEnd(FlashHandle* handle) {
    From(handle).reporter_.ProgressEnd();
    return 0;
}

int32_t JobSession::OnStatus(FlashHandle* handle, const char* text) {
    From(handle).reporter_.Status(TextOf(text));
    return 0;
}

int32_t JobSession::OnMessage(FlashHandle* handle, int32_t level, const char* text) {
    JobSession& self = From(handle);
    const std::string_view line = TextOf(text);
    if (level >= 1) self.EndWaiting();
    self.reporter_.Message(level, line);
    if (auto note = self.notes_.Note(level, line)) self.reporter_.Note(level, *note);
    if (line == kPowerOn && !self.waitingSince_) {
        self.waitingSince_ = std::chrono::steady_clock::now();
        self.reporter_.Waiting(self.waitText_, 0);
    }
    return 0;
}

int32_t JobSession::OnAbortPoll(FlashHandle* handle) { return From(handle).AbortPoll(); }

int32_t JobSession::AbortPoll() {
    if (aborted_.load() != AbortReason::None) return 1;
    AbortReason reason = AbortReason::None;
    std::string text;
    if (interrupts_.Count() > 0) {
        reason = AbortReason::Interrupt;
        text = "interrupted: aborting the job (interrupt again to quit at once)";
    } else if (timeout_ && std::chrono::steady_clock::now() - jobStart_ >= *timeout_) {
        reason = AbortReason::Timeout;
        char line[96];
        std::snprintf(line, sizeof line, "time-out: the job ran longer than %g s, aborting it", timeout_->count());
        text = line;
    } else if (waitingSince_ && connectTimeout_ &&
               std::chrono::steady_clock::now() - *waitingSince_ >= *connectTimeout_) {
        reason = AbortReason::ConnectTimeout;
        char line[64];
        std::snprintf(line, sizeof line, "%g s", connectTimeout_->count());
        text = "no phone answered on " + waitPort_ + " within " + line +
               " (--connect-timeout): check the cable and the port, and that the phone is in its boot mode; "
               "aborting the job";
    }
    if (reason == AbortReason::None) {
        if (waitingSince_) {
            reporter_.Waiting(waitText_,
                              std::chrono::duration<double>(std::chrono::steady_clock::now() - *waitingSince_).count());
        } else {
            reporter_.Tick();
        }
        return 0;
    }
    aborted_.store(reason);
    reporter_.Abort(reason, text);
    return 1;
}

}  // namespace flashwire::cli
