// A host for tests of the target and image code: a context with a handle
// whose callbacks collect every message line and progress call, and a
// temporary directory for INI and S-record fixtures.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "job/context.h"
#include "support/temp_dir.h"

namespace flashwire::testing {

struct Line {
    int level;
    std::string text;
};

class TestHost {
public:
    TestHost() {
        dir_ = test_support::MakeTempDir("flashwire-image-");
        hostHandle_.owner = this;
        FlashHandle& h = hostHandle_.handle;
        h.size = sizeof(FlashHandle);
        h.message = &OnMessage;
        h.progressBegin = &OnProgressBegin;
        h.progressUpdate = &OnProgressUpdate;
        h.progressEnd = &OnProgressEnd;
        ctx = std::make_unique<FlashContext>();
        ctx->services = platform::SystemServices();
        ctx->handle = &h;
        SetPath(ctx->exeDirectory, dir_ + "/");
        SetPath(ctx->platformDefPath, dir_ + "/platform.def");
    }
    ~TestHost() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    const std::string& Dir() const { return dir_; }
    std::string PathOf(const std::string& name) const { return dir_ + "/" + name; }
    std::string WriteFile(const std::string& name, const std::string& content) const {
        const std::string path = PathOf(name);
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    void SetDebug(bool on) { ctx->debug = on; }
    void SetPlatform(const char* name) { ctx->plan.platform = name; }

    bool Has(const std::string& text) const {
        for (const Line& l : lines) {
            if (l.text == text) return true;
        }
        return false;
    }
    bool Has(int level, const std::string& text) const {
        for (const Line& l : lines) {
            if (l.level == level && l.text == text) return true;
        }
        return false;
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const Line& l : lines) out.push_back(l.text);
        return out;
    }

    std::unique_ptr<FlashContext> ctx;
    std::vector<Line> lines;
    std::vector<std::string> progressBegins;
    std::vector<uint32_t> progressUpdates;
    int progressEnds = 0;

private:
    struct HostHandle {
        FlashHandle handle{};
        TestHost* owner = nullptr;
    };
    static TestHost& Owner(FlashHandle* h) { return *reinterpret_cast<HostHandle*>(h)->owner; }
    static int32_t OnMessage(FlashHandle* h, int32_t level, const char* text) {
        Owner(h).lines.push_back({level, text});
        return 0;
    }
    static int32_t OnProgressBegin(FlashHandle* h, const char* text, uint32_t) {
        Owner(h).progressBegins.push_back(text);
        return 0;
    }
    static int32_t OnProgressUpdate(FlashHandle* h, uint32_t done, uint32_t) {
        Owner(h).progressUpdates.push_back(done);
        return 0;
    }
    static int32_t OnProgressEnd(FlashHandle* h) {
        ++Owner(h).progressEnds;
        return 0;
    }
    static void SetPath(char (&field)[kPathSize], const std::string& text) {
        std::snprintf(field, kPathSize, "%s", text.c_str());
    }

    std::string dir_;
    HostHandle hostHandle_;
};

}  // namespace flashwire::testing
