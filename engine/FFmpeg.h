// The transcoder of one task: its option state, the option setter SetExtOption with the library
// (generic) option setter behind it, presets and disc-format targets. Used from the thread that
// configures the task; not thread-safe.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "FFPtr.h"
#include "FFmpegOptions.h"
#include "FFmpegRecords.h"

struct TFormatTemplateDeleter {
    void operator()(AVFormatContext* p) const { avformat.avformat_free_context(p); }
};
using TFormatTemplatePtr = std::unique_ptr<AVFormatContext, TFormatTemplateDeleter>;

// Number of template codec contexts: video, audio, data, subtitle, attachment.
constexpr int kTemplateTypes = 5;

class TCustomFFmpeg {
public:
    // The media libraries must be loaded (GlobalFFLoader) before a transcoder is created.
    TCustomFFmpeg();
    virtual ~TCustomFFmpeg() = default;
    TCustomFFmpeg(const TCustomFFmpeg&) = delete;
    TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

    // Applies one option (names matched exactly). Raises FFmpegException, or EConvertError for a
    // malformed number; options applied before a failing one stay applied.
    void SetExtOption(const std::string& AName, const std::string& AValue);

    // Returns all option state, templates included, to the defaults (after a run).
    void ResetOptions();

    // Sets each accepted generic option that AObj (an AVClass-enabled context, its children
    // included) knows with all of AFlags (AV_OPT_FLAG_*); a value it rejects raises
    // FFmpegException. Used on each new codec, format or scaler context.
    void ApplyGenericOptions(void* AObj, int AFlags) const;

    const TOptionState& Options() const { return FOptions; }
    TOptionState& Options() { return FOptions; }
    const std::string& LastOptionErr() const { return FLastOptionErr; }
    // The template context of a media type (AVMEDIA_TYPE_VIDEO ... AVMEDIA_TYPE_ATTACHMENT).
    AVCodecContext* CodecTemplate(AVMediaType AType) const { return FCodecTemplates[AType].get(); }
    AVFormatContext* FormatTemplate() const { return FFormatTemplate.get(); }
    SwsContext* ScalerTemplate() const { return FScalerTemplate.get(); }

    // An option the generic setter rejects raises instead of being skipped.
    bool HaltOnInvalidOption = true;
    // Norm of a disc-format target when neither the frame rate nor the inputs decide.
    TOptionNormDefault NormDefault = ntPAL;

    // Expected output duration of the task (-1 unknown); `t` sets it.
    int64_t TotalOutputDuration() const { return FTotalOutputDuration; }

    // The built-in preset table: (name, option lines).
    struct TPresetRow {
        const char* Name;
        const char* Text;
    };
    static const std::vector<TPresetRow>& BuiltinPresets();

protected:
    // Frame rates of the video streams of the inputs opened so far (the pipeline supplies them).
    virtual std::vector<AVRational> InputVideoFrameRates() const { return {}; }
    // Adds a stream of AType to the last output opened from the current options; without an
    // output it fails with "At least one output file must be specified".
    virtual void NewOutputStream(AVMediaType AType);

    int64_t FTotalOutputDuration = -1;

private:
    struct TOptionRow {
        const char* Name;
        void (*Apply)(TCustomFFmpeg& Self, const std::string& AName, const std::string& AValue);
    };
    static const std::vector<TOptionRow>& OptionRows();

    void CreateTemplates();
    // Tries AName as a library option; false with FLastOptionErr set when rejected.
    bool SetGenericOption(const std::string& AName, const std::string& AValue);
    // SetGenericOption raising FLastOptionErr when HaltOnInvalidOption; true when accepted.
    bool GenericOrHalt(const std::string& AName, const std::string& AValue);
    void SetCodecName(AVMediaType AType, const std::string& AValue);
    void SetBitRate(const std::string& AName, const std::string& AValue);
    void ApplyPresetOption(const std::string& AName, const std::string& AValue);
    void ApplyPresetText(const std::string& APresetName, const std::string& AText);
    void SetTarget(const std::string& AValue);

    TOptionState FOptions;
    std::string FLastOptionErr;
    TCodecContextPtr FCodecTemplates[kTemplateTypes];
    TFormatTemplatePtr FFormatTemplate;
    TSwsPtr FScalerTemplate;
};
