// The shipped catalogue: every profile names a container FFmpeg can write with its codecs,
// chosen values appear in their lists, and every listed combination opens its encoder.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include "Convert.h"
#include "Decryptor.h"

namespace {

bool Contains(const std::vector<std::string>& AValues, const std::string& AValue) {
    for (const auto& v : AValues)
        if (SameText(v, AValue)) return true;
    return false;
}

// Opens the encoder with one rate, bit rate and channel count; empty text when it opens.
std::string OpenEncoder(const AVCodec* ACodec, int ARate, int64_t ABitRate, int AChannels) {
    AVCodecContext* ctx = avcodec_alloc_context3(ACodec);
    ctx->sample_rate = ARate;
    ctx->bit_rate = ABitRate;
    av_channel_layout_default(&ctx->ch_layout, AChannels);
    ctx->sample_fmt = ACodec->sample_fmts ? ACodec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    ctx->time_base = AVRational{1, ARate};
    ctx->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    const int rc = avcodec_open2(ctx, ACodec, nullptr);
    avcodec_free_context(&ctx);
    if (rc >= 0) return {};
    char text[AV_ERROR_MAX_STRING_SIZE];
    av_strerror(rc, text, sizeof text);
    return text;
}

}  // namespace

TEST(ShippedProfiles, EveryListedValueOpensItsEncoderInItsContainer) {
    std::vector<TProfile> profiles;
    ASSERT_NO_THROW(LoadCatalogueFile(QAC_PROFILE_FOLDER "/formats.dat", profiles));
    ASSERT_GE(profiles.size(), 14u);
    for (const TProfile& p : profiles) {
        SCOPED_TRACE(p.Title);
        ASSERT_EQ(p.FormatExt.rfind('.', 0), 0u);
        const auto codecs = SplitValueList(p.AudioCodecs, true);
        const auto rates = SplitValueList(p.SampleRates, true);
        const auto bitRates = SplitValueList(p.AudioBitRates, true);
        const auto channels = SplitValueList(p.Channels, true);
        EXPECT_TRUE(Contains(codecs, p.AudioCodecName));
        EXPECT_TRUE(Contains(rates, p.SampleRate));
        EXPECT_TRUE(Contains(bitRates, p.AudioBitRate));
        EXPECT_TRUE(Contains(channels, p.Channel));
        EXPECT_EQ(SplitValueList(p.Channels, false).size(), channels.size());

        // An extension FFmpeg does not know names its muxer in ExtraParam ("f=name").
        const std::string muxerName = p.ExtraParam.rfind("f=", 0) == 0 ? p.ExtraParam.substr(2) : "";
        const AVOutputFormat* muxer = av_guess_format(muxerName.empty() ? nullptr : muxerName.c_str(),
                                                      ("x" + p.FormatExt).c_str(), nullptr);
        ASSERT_NE(muxer, nullptr) << p.FormatExt;
        for (const std::string& name : codecs) {
            const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
            ASSERT_NE(codec, nullptr) << name;
            // 0 means the muxer refuses the codec; a negative answer means it does not say.
            EXPECT_NE(avformat_query_codec(muxer, codec->id, FF_COMPLIANCE_NORMAL), 0)
                << name << " in " << muxer->name;
            for (const std::string& rate : rates)
                for (const std::string& bitRate : bitRates)
                    for (const std::string& ch : channels) {
                        const std::string error =
                            OpenEncoder(codec, StrToInt(rate), StrToInt64(bitRate), StrToInt(ch));
                        EXPECT_EQ(error, "") << name << " " << rate << " Hz " << bitRate << " bit/s " << ch << " ch";
                    }
        }
    }
}
