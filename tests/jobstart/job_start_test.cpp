// Whole jobs through FlashLoad on the simulated phone: the worker threads,
// the delivery of every record, abort polling, refused starts, the forced end
// of a blocked dispatcher and the data directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "flashops/job_rig.h"
#include "job/lifecycle.h"

namespace flashwire::job_test {
namespace {

// The phone stays off: only an abort ends the job's wait for it.
constexpr uint64_t kNeverUs = sim::kNever;

// The host: records every callback and counts callbacks that overlap or run,
// during FlashLoad, on the thread that called it.
struct Host {
    FlashHandle handle{};  // first: a callback finds the host from it
    std::vector<boot_test::Line> lines;
    std::vector<std::string> statuses;
    std::size_t polls = 0;
    bool abortOnFirstPoll = false;
    std::function<void()> onStatus;
    std::atomic<int> inCallback{0}, overlaps{0}, onCaller{0};
    std::atomic<bool> inJob{false};
    std::thread::id caller;

    struct Enter {
        explicit Enter(FlashHandle* h) : host(*reinterpret_cast<Host*>(h)) {
            host.overlaps += host.inCallback.fetch_add(1) != 0;
            host.onCaller += host.inJob && std::this_thread::get_id() == host.caller;
        }
        ~Enter() { --host.inCallback; }
        Host& host;
    };
    void Install(bool withAbortPoll) {
        handle.message = [](FlashHandle* h, int32_t level, const char* text) {
            Enter(h).host.lines.push_back({level, text, 0});
            return 0;
        };
        handle.status = [](FlashHandle* h, const char* text) {
            Enter e(h);
            e.host.statuses.emplace_back(text);
            if (e.host.onStatus) e.host.onStatus();
            return 0;
        };
        handle.progressUpdate = [](FlashHandle* h, uint32_t, uint32_t) {
            Enter e(h);
            return 0;
        };
        handle.abortPoll = nullptr;
        if (withAbortPoll)
            handle.abortPoll = [](FlashHandle* h) {
                Enter e(h);
                return ++e.host.polls == 1 && e.host.abortOnFirstPoll ? 1 : 0;
            };
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const auto& l : lines) out.push_back(std::to_string(l.level) + ": " + l.text);
        return out;
    }
    std::string LastStatus() const { return statuses.empty() ? "" : statuses.back(); }
    int Count(const std::string& line) const { return static_cast<int>(std::ranges::count(Texts(), line)); }
};

// A phone from a shipped platform and a handle bound to it by InitHandle, its
// data directory set to the build's configuration.
class Rig {
public:
    // virtualThreads: the job's threads take turns on the link's virtual clock.
    explicit Rig(const std::string& platform, uint64_t powerOnUs = 0, bool virtualThreads = false)
        : platform_(platform) {
        std::string error;
        sim::PhoneConfig config = sim::PhoneConfigForPlatform(kConfigDir, platform, &error);
        EXPECT_EQ(error, "");
        config.requireLoaderSignature = false;
        config.powerOnUs = powerOnUs;
        link = std::make_unique<sim::VirtualLink>(config, 1);
        if (virtualThreads) link->UseVirtualThreads();
        host.handle.size = sizeof(FlashHandle);
        EXPECT_EQ(InitHandle(&host.handle, &options, link->Services()), SUCCESS);
        EXPECT_EQ(FlashSetDataDirectory(&host.handle, FLASHWIRE_BINARY_DIR), SUCCESS);
        host.Install(true);
    }
    ~Rig() {
        FlashFinish(&host.handle);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    FlashContext& ctx() { return *ContextOf(&host.handle); }

    // Parses the options (with the platform and /debug=1) and runs FlashLoad.
    uint32_t Run(const std::string& text) {
        const std::string all = "/platform=" + platform_ + " /debug=1 " + text;
        return FlashParseOptionString(&host.handle, all.c_str(), nullptr, &options) ? uint32_t{ERR_BAD_CMDLINE} : Load();
    }
    uint32_t Load() {
        host.lines.clear();
        host.statuses.clear();
        host.polls = 0;
        host.caller = std::this_thread::get_id();
        host.inJob = true;
        const FlashOptions asked = options;
        const uint32_t result = FlashLoad(&host.handle, &options);
        host.inJob = false;
        hostRecordKept = std::memcmp(&asked, &options, sizeof asked) == 0;
        return result;
    }
    // The phone restarts (its flash stays) before the next job's first byte.
    void PowerCycle() {
        const uint32_t at = link->clock().Ticks() + 1;
        link->PowerOnAtMs(at);
        link->AdvanceToUs(static_cast<uint64_t>(at) * 1000);
    }
    std::string WriteImage(const Image& image) {
        std::ofstream out(dir + "/image.s19");
        for (const auto& [address, bytes] : image)
            for (std::size_t at = 0; at < bytes.size(); at += 32)
                out << testing::Record('3', address + static_cast<uint32_t>(at),
                                       {bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + 32)});
        return dir + "/image.s19";
    }
    // The end of every job: each record delivered, the last three lines
    // last, no callback overlapping or on the caller's thread, nothing held.
    void ExpectDelivered(uint32_t result) {
        const auto texts = host.Texts();
        ASSERT_GE(texts.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(texts.end() - 3, texts.end()),
                  (std::vector<std::string>{"0: ThreadProtocol finished", "0: ThreadProtocol: " + std::to_string(result),
                                            "0: ThreadGUI finished"}));
        EXPECT_EQ(host.Count("0: ThreadGUI started"), 1);
        EXPECT_EQ(host.overlaps + host.onCaller, 0);
        EXPECT_EQ(ctx().dispatcherExitCode, 0u);
        EXPECT_EQ(ctx().ring.readPos.load(), ctx().ring.writePos.load());
        for (const PortRecord& port : ctx().ports) EXPECT_EQ(port.handle, nullptr);
        for (const RegionList& list : ctx().regionLists)
            for (const MemoryRegion& buffer : list.buffers) EXPECT_EQ(buffer.data, nullptr);
    }

    std::unique_ptr<sim::VirtualLink> link;
    Host host;
    FlashOptions options{};
    bool hostRecordKept = true;  // the last Load left the host's options record as it was
    const std::string dir = JobRig::TempDir();

private:
    std::string platform_;
};

struct WholeCase {
    const char* platform;
    const char* ports;
    bool withAbortPoll;
};

class FlashLoadJobs : public ::testing::TestWithParam<WholeCase> {};

TEST_P(FlashLoadJobs, FlashVerifyReadOnOneHandle) {
    const WholeCase c = GetParam();
    Rig rig(c.platform);
    rig.host.Install(c.withAbortPoll);
    const std::string ports = c.ports;
    if (ports == "/com=2,2") {
        rig.link->MapPort(1, 0);  // COM2 reaches the boot ROM's UART; COM1 opens nothing
        rig.link->UnmapPort(0);
    }
    const Image image = {{0x1F00, Pattern(0x3100, 3)}, {0x30000, Pattern(77, 4)}};
    const std::string common = ports + " /maxspeed=921600,921600 /diff=0 ";
    const std::size_t contexts = LiveContextCount();
    const std::string jobs[] = {
        common + "/mode=flash /file=" + rig.WriteImage(image),
        common + "/mode=verify /file=" + rig.WriteImage(image),
        common + "/mode=read /savefile=" + rig.dir + "/read.s19 /read=0x1F00-0x4FFF /read=0x30000-0x3004C"};
    for (const std::string& job : jobs) {
        ASSERT_EQ(rig.Run(job), SUCCESS) << job;
        rig.ExpectDelivered(SUCCESS);
        EXPECT_TRUE(rig.hostRecordKept) << "a job never writes the host's options record";
        EXPECT_EQ(rig.host.LastStatus(), "All is well !");
        EXPECT_EQ(rig.host.Count("0: PC transfer speeds (COM1): 57600 115200 230400 460800 921600"),
                  ports == "/com=2,2" ? 0 : 1);
        EXPECT_EQ(rig.host.Count("0: PC transfer speeds (COM2): 57600 115200 230400 460800 921600"),
                  ports == "/com=1" ? 0 : 1);
        rig.PowerCycle();
    }
    for (const auto& [address, bytes] : image)
        EXPECT_EQ(rig.link->phone().flash().Read(address, static_cast<uint32_t>(bytes.size())), bytes);
    const auto saved = ReadSRecordBytes(rig.dir + "/read.s19");
    EXPECT_EQ(saved.size(), 0x3100u + 77u);
    for (const auto& [address, byte] : saved) ASSERT_EQ(rig.link->phone().flash().ReadByte(address), byte);
    EXPECT_EQ(LiveContextCount(), contexts);
    EXPECT_TRUE(rig.link->phone().faultLog().empty());
}

INSTANTIATE_TEST_SUITE_P(Platforms, FlashLoadJobs,
                         ::testing::Values(WholeCase{"demo-active", "/com=1", false},
                                           WholeCase{"demo-passive", "/com=1,2", true},
                                           WholeCase{"demo-passive-setup", "/com=2,2", true}));

TEST(FlashLoad, JobsInARowOnOneHandleShareNothing) {
    Rig rig("demo-passive-setup", kNeverUs);
    const std::string file = " /mode=flash /diff=0 /file=" + rig.WriteImage({{0x8000, Pattern(0x9000, 5)}});
    const std::size_t contexts = LiveContextCount();

    // A failure; calls from a callback into the running job's handle are refused.
    uint32_t nested = SUCCESS, directory = SUCCESS;
    rig.host.onStatus = [&] {
        nested = FlashLoad(&rig.host.handle, &rig.options);
        directory = FlashSetDataDirectory(&rig.host.handle, "/tmp");
    };
    ASSERT_EQ(rig.Run("/com=1 /mode=verify /file=" + rig.dir + "/missing.s19"), uint32_t{ERR_WRONG_FILE_LOAD});
    rig.ExpectDelivered(ERR_WRONG_FILE_LOAD);
    EXPECT_EQ(nested, uint32_t{ERR_SETUP});
    EXPECT_EQ(directory, uint32_t{ERR_BAD_PARAMS});
    const std::string sorry = "Sorry, an error has occured ! (ERR_WRONG_FILE_LOAD)";
    const auto texts = rig.host.Texts();
    ASSERT_GE(texts.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(texts.end() - 6, texts.end() - 3),
              (std::vector<std::string>{"0: ReLoad: 8 (ERR_WRONG_FILE_LOAD)", "0: Error code: ERR_WRONG_FILE_LOAD",
                                        "2: " + sorry}));
    EXPECT_EQ(rig.host.statuses, std::vector<std::string>{sorry});
    const platform::OsVersion os = platform::SystemServices().system->GetOsVersion();
    ASSERT_TRUE(os.known);
    EXPECT_EQ(rig.host.Count("0: OS: NT family, Ver:" + std::to_string(os.major) + "." + std::to_string(os.minor) +
                             " (" + os.release + ")"),
              1);
    rig.host.onStatus = nullptr;

    // Abort on abortPoll's first answer: no further poll, and the first job's
    // precise code does not come back.
    rig.host.abortOnFirstPoll = true;
    EXPECT_EQ(rig.Run("/com=1" + file), uint32_t{ERR_ABORT});
    rig.ExpectDelivered(ERR_ABORT);
    EXPECT_EQ(rig.host.polls, 1u);
    EXPECT_EQ(rig.host.Count("0: Error code: ERR_ABORT"), 1);
    EXPECT_EQ(rig.host.Count("0: Error code: ERR_WRONG_FILE_LOAD"), 0);
    EXPECT_TRUE(rig.link->phone().commandLog().empty()) << "the phone was off";

    // The boot-loader phase, then the flash-loader phase on the loader it left running.
    rig.host.abortOnFirstPoll = false;
    rig.PowerCycle();
    for (const char* phases : {" /phases=bl", " /phases=fl"}) {
        ASSERT_EQ(rig.Run("/com=1 /maxspeed=460800" + file + phases), SUCCESS) << phases;
        rig.ExpectDelivered(SUCCESS);
        EXPECT_EQ(rig.host.LastStatus(), "All is well !");
    }
    EXPECT_EQ(rig.host.Count("0: Power on mobile !"), 0);
    EXPECT_EQ(rig.link->phone().flash().Read(0x8000, 0x9000), Pattern(0x9000, 5));
    EXPECT_EQ(rig.link->phone().bootCount(), 1u);
    EXPECT_EQ(LiveContextCount(), contexts);
}

TEST(FlashLoad, InvalidOptionsRefusedWithoutCallback) {
    Rig rig("demo-passive");
    ASSERT_EQ(FlashParseOptionString(&rig.host.handle, "/com=1 /file=a.s19", nullptr, &rig.options), SUCCESS);
    const FlashOptions valid = rig.options;
    const JobPlan before = rig.ctx().plan;
    for (const auto spoil : {+[](FlashOptions& o) { o.mode = 3; }, +[](FlashOptions& o) { o.erasePasses = 9; },
                             +[](FlashOptions& o) { o.phases = 3; }}) {
        rig.options = valid;
        spoil(rig.options);
        EXPECT_EQ(rig.Load(), uint32_t{ERR_BAD_PARAMS});
    }
    EXPECT_EQ(FlashLoad(&rig.host.handle, nullptr), uint32_t{ERR_BAD_PARAMS});
    FlashHandle unbound{};
    EXPECT_EQ(FlashLoad(&unbound, &rig.options), uint32_t{ERR_BAD_PARAMS});
    EXPECT_TRUE(rig.host.lines.empty() && rig.host.statuses.empty());
    EXPECT_TRUE(rig.ctx().plan.file == before.file && rig.ctx().plan.mode == before.mode) << "the context is untouched";
}

// Threading whose n-th creation (events and threads in order) fails.
struct FailingThreading final : platform::Threading {
    FailingThreading(platform::Threading& inner, int failAt) : inner(inner), failAt(failAt) {}
    std::unique_ptr<platform::Event> CreateEvent(bool manual, bool set) override {
        return ++made == failAt ? nullptr : inner.CreateEvent(manual, set);
    }
    std::unique_ptr<platform::Thread> StartThread(std::size_t stack, std::function<uint32_t()> body) override {
        return ++made == failAt ? nullptr : inner.StartThread(stack, std::move(body));
    }
    int CurrentPriority() override { return inner.CurrentPriority(); }
    void SetCurrentPriority(int priority) override { inner.SetCurrentPriority(priority); }
    platform::Threading& inner;
    int failAt, made = 0;
};

TEST(FlashLoad, ThreadsThatCannotStartEndTheJobBeforeItRan) {
    // Data event, drained event, dispatcher: no callback; protocol thread: the dispatcher's lines only.
    for (int failAt = 1; failAt <= 4; ++failAt) {
        Rig rig("demo-passive");
        FailingThreading threading(*rig.ctx().services.threading, failAt);
        rig.ctx().services.threading = &threading;
        EXPECT_EQ(rig.Run("/com=1 /mode=verify /file=a.s19"), uint32_t{ERR_SETUP}) << failAt;
        const std::vector<std::string> dispatcherOnly = {"0: ThreadGUI started", "0: ThreadGUI finished"};
        EXPECT_EQ(rig.host.Texts(), failAt < 4 ? std::vector<std::string>{} : dispatcherOnly);
        EXPECT_TRUE(rig.host.statuses.empty() && rig.link->phone().commandLog().empty());
        EXPECT_FALSE(rig.ctx().dispatcherThread || rig.ctx().dataEvent || rig.ctx().drainedEvent || rig.ctx().queueMode);
    }
}

TEST(FlashLoad, BlockedDispatcherIsGivenUpAndKeepsWhatItUses) {
    for (const bool finishMeanwhile : {false, true}) {
        Rig rig("demo-passive");
        rig.ctx().dispatcherStopTimeoutMs = 1000;  // long enough to reach the blocking callback
        std::mutex mutex;
        std::condition_variable cv;
        bool blocked = false, release = false;
        rig.host.onStatus = [&] {
            std::unique_lock lock(mutex);
            blocked = true;
            cv.wait_for(lock, std::chrono::seconds(20), [&] { return release; });
        };
        const std::string job = "/com=1 /mode=verify /file=" + rig.dir + "/missing.s19";
        EXPECT_EQ(rig.Run(job), uint32_t{ERR_WRONG_FILE_LOAD}) << "the job's code";
        std::unique_lock lock(mutex);
        ASSERT_TRUE(blocked);
        EXPECT_EQ(rig.ctx().dispatcherExitCode, kForcedExitCode);
        EXPECT_EQ(rig.Load(), uint32_t{ERR_SETUP}) << "no second dispatcher meanwhile";
        const std::weak_ptr<FlashContext> kept = RetainContext(&rig.ctx());
        if (finishMeanwhile) FlashFinish(&rig.host.handle);
        EXPECT_FALSE(kept.expired()) << "the dispatcher still uses the context";
        release = true;
        cv.notify_all();
        lock.unlock();
        if (finishMeanwhile) {
            for (int i = 0; i < 500 && !kept.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            EXPECT_TRUE(kept.expired()) << "released by the dispatcher at its end";
        } else {
            ASSERT_TRUE(rig.ctx().dispatcherThread->Join(5000));
            EXPECT_TRUE(rig.host.lines.empty()) << "nothing delivered after the forced end";
            rig.host.onStatus = nullptr;
            EXPECT_EQ(rig.Load(), uint32_t{ERR_WRONG_FILE_LOAD});
            rig.ExpectDelivered(ERR_WRONG_FILE_LOAD);
        }
        EXPECT_EQ(rig.host.inCallback + rig.host.overlaps, 0);
    }
}

// The system's facts, with a hook in the path separator: FlashSetDataDirectory
// asks for it while it checks and changes the directory.
struct HookedSystem final : platform::SystemInfo {
    std::string ExecutablePath() override { return platform::SystemServices().system->ExecutablePath(); }
    platform::OsVersion GetOsVersion() override { return platform::SystemServices().system->GetOsVersion(); }
    char PathSeparator() const override {
        if (std::this_thread::get_id() == hookThread && hook) std::exchange(hook, nullptr)();
        return platform::SystemServices().system->PathSeparator();
    }
    std::thread::id hookThread;
    mutable std::function<void()> hook;
};

// A job started from another thread while the directory changes runs either
// before the change (which is then refused) or after it, with the new
// directory: never between the check and the write.
TEST(FlashSetDataDirectory, ChangeAndJobStartAreOrdered) {
    Rig rig("demo-passive");
    HookedSystem system;
    rig.ctx().services.system = &system;
    const std::string empty = JobRig::TempDir();  // no "platform.def": a job there fails at once
    ASSERT_EQ(FlashSetDataDirectory(&rig.host.handle, empty.c_str()), SUCCESS);
    ASSERT_EQ(FlashParseOptionString(&rig.host.handle,
                                     ("/platform=demo-passive /com=1 /mode=verify /file=" + rig.dir + "/missing.s19").c_str(),
                                     nullptr, &rig.options),
              SUCCESS);
    std::atomic<uint32_t> jobResult{0xFFFFFFFFu};
    std::thread job;
    system.hookThread = std::this_thread::get_id();
    system.hook = [&] {
        job = std::thread([&] { jobResult = FlashLoad(&rig.host.handle, &rig.options); });
        // Long enough for the job to run to its end, if it could start.
        for (int ms = 0; ms < 500 && jobResult == 0xFFFFFFFFu; ++ms) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    EXPECT_EQ(FlashSetDataDirectory(&rig.host.handle, FLASHWIRE_BINARY_DIR), SUCCESS);
    job.join();
    EXPECT_EQ(jobResult.load(), uint32_t{ERR_WRONG_FILE_LOAD}) << "the job read the old directory";
    std::error_code ec;
    std::filesystem::remove_all(empty, ec);
}

// On the virtual clock the end of a job gives a blocked dispatcher up after
// 10 virtual seconds, and no real time passes meanwhile.
TEST(FlashLoad, BlockedDispatcherIsGivenUpInVirtualTime) {
    Rig rig("demo-passive", 0, true);
    rig.host.onStatus = [&] { rig.link->clock().Sleep(20'000); };  // a host that keeps the dispatcher 20 s
    const auto start = std::chrono::steady_clock::now();
    const uint32_t before = rig.link->clock().Ticks();
    EXPECT_EQ(rig.Run("/com=1 /mode=verify /file=" + rig.dir + "/missing.s19"), uint32_t{ERR_WRONG_FILE_LOAD});
    const uint32_t given = rig.link->clock().Ticks() - before;
    EXPECT_EQ(rig.ctx().dispatcherExitCode, kForcedExitCode);
    EXPECT_GE(given, kDispatcherStopTimeoutMs);
    EXPECT_LT(given, 20'000u);
    EXPECT_EQ(rig.Load(), uint32_t{ERR_SETUP}) << "no second dispatcher meanwhile";
    rig.host.onStatus = nullptr;
    rig.link->clock().Sleep(20'000);  // the host's callback returns; the given-up dispatcher ends
    ASSERT_TRUE(rig.ctx().dispatcherThread->Join(0));
    EXPECT_EQ(rig.Load(), uint32_t{ERR_WRONG_FILE_LOAD});
    rig.ExpectDelivered(ERR_WRONG_FILE_LOAD);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(FlashSetDataDirectory, BoundedAndNothingChangedOnRefusal) {
    FlashHandle handle{};
    handle.size = sizeof handle;
    FlashOptions options;
    ASSERT_EQ(FlashInit(&handle, &options), SUCCESS);
    const FlashContext& ctx = *ContextOf(&handle);
    const std::string longest(242, 'd');  // with its separator and "platform.def": 255 characters
    // The system's separator ends a name that has none; '/' is taken as one everywhere.
    const std::string sep(1, platform::SystemServices().system->PathSeparator());
    const std::pair<std::string, std::string> cases[] = {
        // directory, exeDirectory afterwards ("" where it is refused)
        {"/data/cfg", "/data/cfg" + sep}, {"/data/cfg2/", "/data/cfg2/"}, {"", ""},
        {longest, longest + sep},         {"/y/", "/y/"},                 {longest + "/", longest + "/"},
        {longest + "d", ""},              {std::string(300, 'e'), ""},
        {"C:\\cfg" + sep, "C:\\cfg" + sep},
    };
    std::string expected = ctx.exeDirectory;
    for (const auto& [directory, after] : cases) {
        EXPECT_EQ(FlashSetDataDirectory(&handle, directory.c_str()), after.empty() ? uint32_t{ERR_BAD_PARAMS} : uint32_t{SUCCESS});
        if (!after.empty()) expected = after;
        EXPECT_EQ(std::string(ctx.exeDirectory), expected);
        EXPECT_EQ(std::string(ctx.platformDefPath), expected + "platform.def");
    }
    EXPECT_EQ(FlashSetDataDirectory(&handle, nullptr), uint32_t{ERR_BAD_PARAMS});
    EXPECT_EQ(FlashSetDataDirectory(nullptr, "/z"), uint32_t{ERR_BAD_PARAMS});
    FlashFinish(&handle);
    EXPECT_EQ(FlashSetDataDirectory(&handle, "/z"), uint32_t{ERR_BAD_PARAMS});
}

}  // namespace
}  // namespace flashwire::job_test
