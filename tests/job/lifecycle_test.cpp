// FlashInit, FlashFinish and the thread-priority stack.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/test_host.h"
#include "job/lifecycle.h"

namespace flashwire::test {
namespace {

int32_t Dummy(FlashHandle*) { return 1; }

TEST(Lifecycle, WrongSizeChangesNothing) {
    FlashHandle h{};
    FlashOptions o;
    std::memset(&o, 0x5A, sizeof(o));
    h.abortPoll = &Dummy;
    for (uint32_t size : {0u, 28u, 32u, 64u, static_cast<uint32_t>(sizeof(FlashHandle)) + 1}) {
        if (size == sizeof(FlashHandle)) continue;
        h.size = size;
        EXPECT_EQ(FlashInit(&h, &o), static_cast<uint32_t>(ERR_WRONG_DLL)) << size;
        EXPECT_EQ(h.context, nullptr);
        EXPECT_EQ(h.abortPoll, &Dummy);
        EXPECT_EQ(+o.mode, 0x5A5A5A5Au);
    }
    EXPECT_EQ(FlashInit(nullptr, &o), static_cast<uint32_t>(ERR_WRONG_DLL));
    h.size = sizeof(FlashHandle);
    EXPECT_EQ(FlashInit(&h, nullptr), static_cast<uint32_t>(ERR_BAD_PARAMS));
    EXPECT_EQ(h.context, nullptr);
}

TEST(Lifecycle, InitBindsEmptiesCallbacksAndSetsDefaults) {
    RecordingHost host;
    host.InstallCallbacks();
    host.handle.abortPoll = &Dummy;
    std::memset(&host.options, 0x5A, sizeof(host.options));
    const size_t before = LiveContextCount();
    ASSERT_EQ(FlashInit(&host.handle, &host.options), 0u);
    EXPECT_EQ(LiveContextCount(), before + 1);
    FlashContext* ctx = ContextOf(&host.handle);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->handle, &host.handle);
    EXPECT_EQ(host.handle.progressBegin, nullptr);
    EXPECT_EQ(host.handle.progressUpdate, nullptr);
    EXPECT_EQ(host.handle.progressEnd, nullptr);
    EXPECT_EQ(host.handle.status, nullptr);
    EXPECT_EQ(host.handle.message, nullptr);
    EXPECT_EQ(host.handle.abortPoll, nullptr);
    EXPECT_EQ(+host.options.comPort[0], 12u);
    EXPECT_EQ(+host.options.diff, 1u);
    EXPECT_FALSE(ctx->queueMode);

    // The host executable's directory, with its separator, and platform.def in it.
    const std::string dir = ctx->exeDirectory;
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), platform::SystemServices().system->PathSeparator());
    EXPECT_EQ(std::string(ctx->platformDefPath), dir + "platform.def");
    EXPECT_EQ(platform::SystemServices().system->ExecutablePath().rfind(dir, 0), 0u);

    EXPECT_EQ(FlashFinish(&host.handle), 0u);
    EXPECT_EQ(host.handle.context, nullptr);
    EXPECT_EQ(LiveContextCount(), before);
    EXPECT_EQ(FlashFinish(&host.handle), 0u);  // a second call does nothing
    EXPECT_EQ(FlashFinish(nullptr), 0u);
}

TEST(Lifecycle, SecondInitReplacesTheContext) {
    const size_t before = LiveContextCount();
    RecordingHost host;
    ASSERT_EQ(FlashInit(&host.handle, &host.options), 0u);
    ASSERT_EQ(FlashInit(&host.handle, &host.options), 0u);
    EXPECT_EQ(LiveContextCount(), before + 1);  // the first one was released
    EXPECT_EQ(ContextOf(&host.handle)->handle, &host.handle);
    FlashFinish(&host.handle);
    EXPECT_EQ(LiveContextCount(), before);
}

TEST(Lifecycle, StaleContextMemberIsNeverReleased) {
    const size_t before = LiveContextCount();
    FlashHandle h{};
    h.size = sizeof(FlashHandle);
    FlashOptions o{};
    // A host record that was never cleared.
    h.context = reinterpret_cast<::FlashContext*>(static_cast<uintptr_t>(0x1234560));
    ASSERT_EQ(FlashInit(&h, &o), 0u);

    // A copy of a bound handle does not own its context.
    FlashHandle copy = h;
    ASSERT_EQ(FlashInit(&copy, &o), 0u);
    EXPECT_EQ(LiveContextCount(), before + 2);
    EXPECT_EQ(ContextOf(&h)->handle, &h);
    FlashFinish(&copy);
    FlashFinish(&h);
    EXPECT_EQ(LiveContextCount(), before);
}

// Every export that takes a handle finds its context through the registry:
// a handle whose `context` member the library did not bind is never read
// through, whatever it holds.
TEST(Lifecycle, UnboundHandleIsNeverReadThrough) {
    RecordingHost other;  // a bound context that belongs to another handle
    ASSERT_EQ(FlashInit(&other.handle, &other.options), 0u);
    alignas(8) unsigned char garbage[4096];
    std::memset(garbage, 0xA5, sizeof garbage);
    ::FlashContext* const members[] = {
        reinterpret_cast<::FlashContext*>(static_cast<uintptr_t>(0x10)),  // unmapped
        reinterpret_cast<::FlashContext*>(garbage),                         // memory of the host's
        other.handle.context,                                               // another handle's context
    };
    const size_t before = LiveContextCount();
    for (::FlashContext* member : members) {
        RecordingHost host;
        host.InstallCallbacks();
        host.handle.context = member;
        int32_t count = -1;
        FlashOptions parsed{};
        EXPECT_EQ(FlashParseOptionString(&host.handle, "/mode=read /com=2", &count, &parsed), 0u);
        EXPECT_EQ(count, 2);
        EXPECT_EQ(+parsed.mode, 2u);
        EXPECT_TRUE(host.lines.empty()) << "nothing echoed without a bound context";
        EXPECT_EQ(FlashLoad(&host.handle, &parsed), uint32_t{ERR_BAD_PARAMS});
        EXPECT_EQ(FlashSetDataDirectory(&host.handle, "/tmp"), uint32_t{ERR_BAD_PARAMS});
        EXPECT_EQ(FlashFinish(&host.handle), 0u);
        EXPECT_EQ(LiveContextCount(), before);
    }
    EXPECT_EQ(ContextOf(&other.handle)->handle, &other.handle);
}

struct PathCase {
    std::string executable;
    std::string directory;
    std::string platformDef;
};

TEST(Lifecycle, ExecutableDirectory) {
    const std::string dir254 = "/" + std::string(252, 'd') + "/";   // 254 characters
    const std::string dir255 = "/" + std::string(253, 'd') + "/";   // 255 characters: the most that fits
    const std::string dir256 = "/" + std::string(254, 'd') + "/";   // does not fit
    const std::string dir243 = "/" + std::string(241, 'd') + "/";   // + platform.def = 255
    const std::string dir244 = "/" + std::string(242, 'd') + "/";   // + platform.def = 256: does not fit
    const std::vector<PathCase> cases = {
        {"/opt/tools/host", "/opt/tools/", "/opt/tools/platform.def"},
        {"/host", "/", "/platform.def"},
        {"", "", ""},
        {"host", "", ""},
        {dir243 + "host", dir243, dir243 + "platform.def"},
        {dir244 + "h", dir244, ""},
        {dir254 + "h", dir254, ""},
        {dir255 + "h", dir255, ""},
        {dir256 + "h", "", ""},
        {std::string(5000, 'x') + "/host", "", ""},
    };
    for (const PathCase& c : cases) {
        FakeSystem system(c.executable);
        FakeClock clock;
        RecordingHost host;
        FlashContext& ctx = host.Bind(platform::Services{&clock, nullptr, nullptr, &system});
        EXPECT_EQ(std::string(ctx.exeDirectory), c.directory) << c.executable.size();
        EXPECT_EQ(std::string(ctx.platformDefPath), c.platformDef) << c.executable.size();
    }
    // No system service at all.
    RecordingHost host;
    FlashContext& ctx = host.Bind(platform::Services{});
    EXPECT_STREQ(ctx.exeDirectory, "");
}

class RecordingThreading final : public platform::Threading {
public:
    std::unique_ptr<platform::Event> CreateEvent(bool, bool) override { return nullptr; }
    std::unique_ptr<platform::Thread> StartThread(std::size_t, std::function<uint32_t()>) override {
        return nullptr;
    }
    int CurrentPriority() override { return priority; }
    void SetCurrentPriority(int p) override {
        priority = p;
        history.push_back(p);
    }
    int priority = 0;
    std::vector<int> history;
};

TEST(PriorityStack, PushAndPopInPairs) {
    RecordingThreading threading;
    RecordingHost host;
    FlashContext& ctx = host.Bind(platform::Services{nullptr, &threading, nullptr, nullptr});
    threading.priority = -1;
    PushThreadPriority(ctx, platform::kPriorityHighest);
    PushThreadPriority(ctx, platform::kPriorityTimeCritical);
    EXPECT_EQ(threading.priority, 15);
    EXPECT_EQ(ctx.priorityStack.depth, 2u);
    PopThreadPriority(ctx);
    EXPECT_EQ(threading.priority, 2);
    PopThreadPriority(ctx);
    EXPECT_EQ(threading.priority, -1);
    EXPECT_EQ(ctx.priorityStack.depth, 0u);
    threading.history.clear();
    PopThreadPriority(ctx);  // at depth 0: nothing happens
    EXPECT_TRUE(threading.history.empty());
}

TEST(PriorityStack, BeyondTenIsIgnoredSafely) {
    RecordingThreading threading;
    RecordingHost host;
    FlashContext& ctx = host.Bind(platform::Services{nullptr, &threading, nullptr, nullptr});
    for (int i = 1; i <= 12; ++i) PushThreadPriority(ctx, i);
    EXPECT_EQ(ctx.priorityStack.depth, 10u);
    EXPECT_EQ(threading.priority, 10);  // pushes 11 and 12 were ignored
    PopThreadPriority(ctx);
    PopThreadPriority(ctx);
    EXPECT_EQ(threading.priority, 10);  // ... and so were their pops
    for (int i = 0; i < 10; ++i) PopThreadPriority(ctx);
    EXPECT_EQ(threading.priority, 0);
    EXPECT_EQ(ctx.priorityStack.depth, 0u);

    // Without a threading service the stack still counts.
    RecordingHost other;
    FlashContext& bare = other.Bind(platform::Services{});
    PushThreadPriority(bare, 2);
    PopThreadPriority(bare);
    EXPECT_EQ(bare.priorityStack.depth, 0u);
}

}  // namespace
}  // namespace flashwire::test
