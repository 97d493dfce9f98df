// Shared set-up of the engine tests: libraries loaded, and a log capture.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "Dispatcher.h"
#include "FFEncode.h"
#include "FFLoad.h"
#include "FFLog.h"
#include "FFmpeg.h"

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(GlobalFFLoader.Load(EncoderLibraries)) << GlobalFFLoader.LastErrMsg();
        TheLogger()->SetTriggerEventInMainThread(false);
        TheLogger()->SetLogLevel(llVerbose);
        TheLogger()->SetOnLog([this](TSender, uint32_t, TLogLevel ALevel, const std::string& AMsg) {
            std::lock_guard lock(FLock);
            FLines.emplace_back(ALevel, AMsg);
        });
    }
    void TearDown() override {
        TheLogger()->SetOnLog(nullptr);
        TheLogger()->SetLogLevel(llInfo);
    }
    bool Logged(TLogLevel ALevel, const std::string& AText) {
        std::lock_guard lock(FLock);
        for (const auto& [level, msg] : FLines)
            if (level == ALevel && msg.find(AText) != std::string::npos) return true;
        return false;
    }
    void ClearLog() {
        std::lock_guard lock(FLock);
        FLines.clear();
    }
    // The message of the exception SetExtOption raises, or "" when it succeeds.
    static std::string Failure(TCustomFFmpeg& AFF, const std::string& AName, const std::string& AValue) {
        try {
            AFF.SetExtOption(AName, AValue);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "";
    }

    std::mutex FLock;
    std::vector<std::pair<TLogLevel, std::string>> FLines;
};

// What one of an encoder's notices said (task -1: the final notice).
struct TEncoderNotice {
    int TaskIndex = 0;
    bool Finished = false;
    bool Exception = false;
    std::string Message;
    TVerifyResult Verified = vrNone;
};

// An engine test with an encoder run from this thread, the main thread, whose notices are kept.
class EncoderFixture : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        SetMainThread();
        Encoder = std::make_unique<TFFEncoder>();
        Encoder->OnTerminate = [this](void*, const TTerminateInfo& AInfo) {
            std::lock_guard lock(FNoticeLock);
            FNotices.push_back({AInfo.TaskIndex, AInfo.Finished, AInfo.Exception, AInfo.ExceptionMsg, AInfo.Verified});
        };
    }
    void TearDown() override {
        Encoder.reset();
        EngineTest::TearDown();
    }
    std::vector<TEncoderNotice> Notices() {
        std::lock_guard lock(FNoticeLock);
        return FNotices;
    }

    std::unique_ptr<TFFEncoder> Encoder;
    std::mutex FNoticeLock;  // guards FNotices, and what a fixture records beside them
    std::vector<TEncoderNotice> FNotices;
};

// Bytes written so far for an output: the file itself or a working file beside it (".qac-"
// pid "-" counter ".part") while the run is in progress.
inline uintmax_t WrittenBytes(const std::filesystem::path& AOutput) {
    std::error_code ec;
    uintmax_t bytes = 0;
    for (const auto& e : std::filesystem::directory_iterator(AOutput.parent_path(), ec)) {
        const std::string name = e.path().filename().string();
        if (name == AOutput.filename().string() ||
            (name.rfind(".qac-", 0) == 0 && e.path().extension() == ".part"))
            bytes = std::max(bytes, e.file_size(ec));
    }
    return bytes;
}

// The working files in a folder.
inline std::vector<std::filesystem::path> WorkingFiles(const std::filesystem::path& AFolder) {
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(AFolder, ec))
        if (e.path().filename().string().rfind(".qac-", 0) == 0 && e.path().extension() == ".part")
            files.push_back(e.path());
    return files;
}
