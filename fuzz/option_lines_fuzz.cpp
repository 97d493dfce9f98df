// libFuzzer target: option lines ("name=value", lines joined by line breaks or "<CRLF>") applied
// to a transcoder through its option table and the library's generic options. Any exception is
// a refused option; crashes, leaks and undefined behaviour are faults.
#include <cstdint>
#include <string>

#include "FFLoad.h"
#include "FFLog.h"
#include "FFmpeg.h"

namespace {

// Names that read or write files named by the value (presets, logs) stay out: a value such as
// "/dev/zero" would make the run read forever.
bool Skipped(const std::string& AName) {
    for (const char* n : {"fpre", "apre", "vpre", "spre", "passlogfile", "vstats", "vstats_file"})
        if (AName == n) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    TheLogger()->SetTriggerEventInMainThread(false);
    TheLogger()->SetLogLevel(llQuiet);
    return GlobalFFLoader.Load(EncoderLibraries) ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    std::string text(reinterpret_cast<const char*>(AData), ASize);
    for (size_t p; (p = text.find("<CRLF>")) != std::string::npos;) text.replace(p, 6, "\n");
    TCustomFFmpeg ff;
    ff.HaltOnInvalidOption = ASize % 2 == 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t eq = line.find('=');
        const std::string name = line.substr(0, eq);
        if (name.empty() || Skipped(name)) continue;
        try {
            ff.SetExtOption(name, eq == std::string::npos ? "" : line.substr(eq + 1));
        } catch (const std::exception&) {
        }
    }
    return 0;
}
