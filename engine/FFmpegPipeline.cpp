// Transcode pipeline (placeholder until the run is in place).
#include "FFmpeg.h"

struct TCustomFFmpeg::TRun {};
void TCustomFFmpeg::TRunDeleter::operator()(TRun* ARun) const { delete ARun; }

TStreamCoder::~TStreamCoder() {
    if (logfile) fclose(logfile);
}

TCustomFFmpeg::~TCustomFFmpeg() = default;

bool TCustomFFmpeg::OpenInput(const std::string&) {
    FLastErrMsg = "not available";
    return false;
}
int TCustomFFmpeg::OpenOutput(const std::string&, bool) {
    FLastErrMsg = "not available";
    return -1;
}
void TCustomFFmpeg::PrepareJoin() {}
void TCustomFFmpeg::Transcode() { throw FFmpegException("not available"); }
void TCustomFFmpeg::RequestStop() { FBroken = true; }
void TCustomFFmpeg::SetPaused(bool APaused) {
    std::lock_guard lock(FPauseLock);
    FPaused = APaused;
    FPauseCond.notify_all();
}
bool TCustomFFmpeg::PausedGate() const {
    std::lock_guard lock(FPauseLock);
    return FPaused;
}
void TCustomFFmpeg::CloseCodecs() {}
void TCustomFFmpeg::CloseFiles() {}
std::vector<std::string> TCustomFFmpeg::OutputFileNames() const { return {}; }
void TCustomFFmpeg::SetPostHook(TPostHook AHook, bool AOn) {
    std::lock_guard lock(FPostHookLock);
    FPostHooks = AOn ? (FPostHooks | AHook) : (FPostHooks & ~AHook);
}
bool TCustomFFmpeg::PostHook(TPostHook AHook) const {
    std::lock_guard lock(FPostHookLock);
    return (FPostHooks & AHook) != 0;
}
