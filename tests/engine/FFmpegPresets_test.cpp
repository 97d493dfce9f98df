#include <fstream>

#include "Convert.h"
#include "EngineTestSupport.h"
#include "TestMedia.h"

TEST_F(EngineTest, EveryBuiltinPresetOpensLibx264) {
    const AVCodec* x264 = avcodec.avcodec_find_encoder_by_name("libx264");
    ASSERT_TRUE(x264);
    ASSERT_EQ(TCustomFFmpeg::BuiltinPresets().size(), 36u);
    for (const auto& row : TCustomFFmpeg::BuiltinPresets()) {
        SCOPED_TRACE(row.Name);
        TCustomFFmpeg ff;
        ff.SetExtOption("vcodec", "libx264");
        // Looked up with the codec name in front and ignoring case.
        ff.SetExtOption("vpre", UpperCase(std::string(row.Name).substr(8)));
        ASSERT_FALSE(ff.Options().generic_options.empty());
        TCodecContextPtr c(avcodec.avcodec_alloc_context3(x264));
        c->width = 64;
        c->height = 64;
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->time_base = {1, 25};
        ff.ApplyGenericOptions(c.get(), AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
        EXPECT_GE(avcodec.avcodec_open2(c.get(), x264, nullptr), 0);
    }
}

TEST_F(EngineTest, PresetFilesAreParsedLineByLine) {
    testmedia::ScopedTempDir dir;
    const auto write = [&](const char* AName, const char* AText) {
        std::ofstream(dir.path() / AName, std::ios::binary) << AText;
        return (dir.path() / AName).string();
    };
    TCustomFFmpeg ff;
    const std::string good = write("good.ffpreset", "\n# comment\r\n  vcodec = libx264 \r\ng=50\n\n");
    ff.SetExtOption("fpre", good);
    EXPECT_EQ(ff.Options().video.codec_name, "libx264");
    EXPECT_EQ(ff.CodecTemplate(AVMEDIA_TYPE_VIDEO)->gop_size, 50);
    // fpre never looks at the table.
    EXPECT_EQ(Failure(ff, "fpre", "libx264-fast"), "Preset \"libx264-fast\" not found");
    const std::string syntax = write("syntax.ffpreset", "g=1\nnovalue=\n");
    EXPECT_EQ(Failure(ff, "apre", syntax), syntax + ": Invalid syntax: \"novalue=\"");
    const std::string unknown = write("unknown.ffpreset", "bogus=1\n");
    EXPECT_EQ(Failure(ff, "spre", unknown),
              "Unrecognized option \"bogus\"\r\n" + unknown +
                  ": Invalid option or argument: \"bogus=1\", parsed as \"bogus\" = \"1\"");
    ff.HaltOnInvalidOption = false;
    EXPECT_EQ(Failure(ff, "spre", unknown), "");
    // A table row is found only by its full name when no codec of that kind is set.
    EXPECT_EQ(Failure(ff, "apre", "medium"), "Preset \"medium\" not found");
}

TEST_F(EngineTest, TargetsFollowTheirNorm) {
    {
        TCustomFFmpeg ff;
        ff.SetExtOption("target", "ntsc-dvd");
        const TOptionState& s = ff.Options();
        EXPECT_EQ(s.forced_format, "dvd");
        EXPECT_EQ(s.video.codec_name, "mpeg2video");
        EXPECT_EQ(s.audio.codec_name, "ac3");
        EXPECT_EQ(s.frame_width, 720);
        EXPECT_EQ(s.frame_height, 480);
        EXPECT_EQ(s.frame_rate.num, 30000);
        EXPECT_EQ(s.audio_sample_rate, 48000);
        EXPECT_EQ(ff.CodecTemplate(AVMEDIA_TYPE_VIDEO)->gop_size, 18);
        EXPECT_EQ(ff.CodecTemplate(AVMEDIA_TYPE_AUDIO)->bit_rate, 448000);
        EXPECT_DOUBLE_EQ(s.frame_aspect_ratio, 16.0 / 9.0);
        EXPECT_TRUE(Logged(llInfo, "Assuming 16:9 for aspect ratio"));
    }
    {
        // Without a prefix the current frame rate decides: 25 fps is PAL.
        TCustomFFmpeg ff;
        ff.SetExtOption("ac", "1");
        ff.SetExtOption("aspect", "1.5");
        ff.SetExtOption("target", "svcd");
        EXPECT_TRUE(Logged(llVerbose, "Assuming PAL for target."));
        EXPECT_EQ(ff.Options().frame_height, 576);
        EXPECT_EQ(ff.Options().audio_channels, 2);
        EXPECT_DOUBLE_EQ(ff.Options().frame_aspect_ratio, 1.5);
        EXPECT_EQ(ff.CodecTemplate(AVMEDIA_TYPE_VIDEO)->gop_size, 15);
    }
    {
        TCustomFFmpeg ff;
        ff.SetExtOption("r", "29.97");
        ff.SetExtOption("target", "vcd");
        EXPECT_TRUE(Logged(llVerbose, "Assuming NTSC for target."));
        EXPECT_EQ(ff.Options().frame_height, 240);
        EXPECT_DOUBLE_EQ(ff.Options().mux_preload, 0.44);
    }
    {
        // A rate that names no norm falls back to the default norm.
        TCustomFFmpeg ff;
        ff.NormDefault = ntNTSC;
        ff.SetExtOption("r", "50");
        ff.SetExtOption("target", "dv");
        EXPECT_EQ(ff.Options().frame_pix_fmt, AV_PIX_FMT_YUV411P);
        EXPECT_EQ(ff.Options().frame_height, 480);
    }
    {
        TCustomFFmpeg ff;
        ff.SetExtOption("target", "pal-dv50");
        EXPECT_EQ(ff.Options().frame_pix_fmt, AV_PIX_FMT_YUV422P);
        EXPECT_EQ(ff.Options().forced_format, "dv");
        EXPECT_EQ(Failure(ff, "target", "pal-"), "Unknown target type");
    }
}
