// Runs one transcoder task the way the encoder does: inputs and outputs opened with their option
// lines, the run, then the codecs and files closed.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "EngineTestSupport.h"
#include "TestMedia.h"

using TOptionList = std::vector<std::pair<std::string, std::string>>;

struct TTaskInput {
    std::filesystem::path file;
    TOptionList options;
};

struct TTaskResult {
    bool built = false;       // every input and output opened
    bool finished = false;    // the run ended without a stop
    std::string error;        // LastErrMsg of a failed open, or the run's exception text
    std::vector<TTranscodeProgress> reports;
};

inline TTaskResult RunTask(const std::vector<TTaskInput>& AInputs,
                           const std::filesystem::path& AOutput, const TOptionList& AOutOptions,
                           bool AJoin = false, TCustomFFmpeg* AFF = nullptr) {
    TTaskResult r;
    TCustomFFmpeg own;
    TCustomFFmpeg& ff = AFF ? *AFF : own;
    ff.OnProgress = [&](const TTranscodeProgress& p) { r.reports.push_back(p); };
    try {
        for (const TTaskInput& in : AInputs) {
            for (const auto& [n, v] : in.options) ff.SetExtOption(n, v);
            if (!ff.OpenInput(in.file.string())) {
                r.error = ff.LastErrMsg();
                ff.CloseFiles();
                return r;
            }
        }
        for (const auto& [n, v] : AOutOptions) ff.SetExtOption(n, v);
        if (ff.OpenOutput(AOutput.string(), AJoin) < 0) {
            r.error = ff.LastErrMsg();
            ff.CloseFiles();
            return r;
        }
        ff.PrepareJoin();
        r.built = true;
        ff.Transcode();
        r.finished = ff.Finished();
    } catch (const std::exception& e) {
        r.error = e.what();
    }
    ff.CloseCodecs();
    ff.CloseFiles();
    return r;
}
