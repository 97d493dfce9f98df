#include <map>
#include <set>
#include <tuple>

#include "Convert.h"
#include "EngineTestSupport.h"

namespace {

// Every name of the dispatch list, in order.
const char* const kDispatchNames[] = {
    "L", "h", "version", "formats", "codecs", "bsfs", "protocols", "filters", "loglevel", "f", "i",
    "y", "map", "map_meta_data", "map_chapters", "t", "fs", "ss", "itsoffset", "itsscale",
    "timestamp", "metadata", "dframes", "benchmark", "timelimit", "dump", "hex", "re",
    "loop_input", "loop_output", "v", "target", "threads", "vsync", "async", "adrift_threshold",
    "vglobal", "copyts", "copytb", "shortest", "dts_delta_threshold", "programid", "xerror",
    "copyinkf", "b", "vb", "vframes", "r", "s", "aspect", "pix_fmt", "croptop", "cropbottom",
    "cropleft", "cropright", "padtop", "padbottom", "padleft", "padright", "padcolor", "intra",
    "vn", "vdt", "qscale", "rc_override", "vcodec", "me_threshold", "sameq", "pass",
    "passlogfile", "deinterlace", "psnr", "vstats", "vstats_file", "vhook", "vfilters", "vf",
    "intra_matrix", "inter_matrix", "top", "dc", "vtag", "newvideo", "vlang", "qphist",
    "force_fps", "streamid", "force_key_frames", "ab", "aframes", "aq", "ar", "ac", "an",
    "acodec", "atag", "vol", "newaudio", "alang", "sample_fmt", "sn", "scodec", "newsubtitle",
    "slang", "stag", "vc", "tvstd", "isync", "muxdelay", "muxpreload", "absf", "vbsf", "sbsf",
    "apre", "vpre", "spre", "fpre"};

}  // namespace

TEST(EncoderRecords, ResetRecordsHoldTheNotSetDefaults) {
    TOutputOptions o;
    o.AudioVolume = 0;
    o.TimeLength = 5;
    o.TargetType = ttDVD;
    o.Info.Year = 2001;
    InitOutputOptions(o);
    EXPECT_EQ(o.AudioVolume, -1);
    EXPECT_EQ(o.PacketSize, -1);
    EXPECT_EQ(o.VideoBufSize, -1);
    EXPECT_EQ(o.MuxDelay, -1.0);
    EXPECT_EQ(o.TimeStart, INT64_MIN);
    EXPECT_EQ(o.TimeLength, INT64_MIN);
    EXPECT_EQ(o.TargetType, ttIgnore);
    EXPECT_EQ(o.NormType, ntAuto);
    EXPECT_EQ(o.NormDefault, ntPAL);
    EXPECT_EQ(o.VideoHookBitsPixel, 24);
    EXPECT_EQ(o.AudioSyncMethod, 0);
    EXPECT_EQ(o.VideoSyncMethod, -1);
    EXPECT_FALSE(o.DisableAudio || o.Join || o.InputSync);
    EXPECT_EQ(o.Info.Year, -1);
    EXPECT_EQ(o.Info.TimeStamp, -1.0);
    TInputOptions i;
    i.ProgramID = 3;
    InitInputOptions(i);
    EXPECT_EQ(i.ProgramID, -1);
    EXPECT_EQ(i.TimeStart, INT64_MIN);
    EXPECT_EQ(TProgressInfo().TotalDuration, -1);
}

TEST_F(EngineTest, EveryDispatchNameReachesItsOwnRow) {
    const std::map<std::string, std::string> values = {
        {"loglevel", "verbose"}, {"f", "wav"}, {"map", "0.1:0.0"}, {"map_meta_data", "0,s1:0,g"},
        {"map_chapters", "0:1"}, {"t", "1:00"}, {"ss", "2.5"}, {"itsoffset", "1"},
        {"itsscale", "1:2.0"}, {"timestamp", "2000-01-01 00:00:00"}, {"metadata", "title=x"},
        {"target", "pal-vcd"}, {"r", "30"}, {"s", "320x240"}, {"aspect", "16:9"},
        {"pix_fmt", "yuv420p"}, {"pass", "2"}, {"streamid", "0:5"}, {"vtag", "avc1"},
        {"atag", "mp4a"}, {"stag", "7"}, {"sample_fmt", "s16"}, {"absf", "null"},
        {"vbsf", "null"}, {"sbsf", "null"}, {"apre", "libx264-fast"}, {"vpre", "libx264-fast"},
        {"spre", "libx264-fast"}, {"b", "100000"}, {"vb", "100000"}, {"ab", "100000"},
        {"qscale", "4"}, {"vcodec", "libx264"}, {"acodec", "copy"}, {"scodec", "mov_text"},
        {"vstats_file", "x.log"}};
    const std::map<std::string, std::string> failures = {
        {"newvideo", "At least one output file must be specified"},
        {"newaudio", "At least one output file must be specified"},
        {"newsubtitle", "At least one output file must be specified"},
        {"fpre", "Preset \"1\" not found"}};
    // Rows that hand their value to the library option setter on purpose.
    const std::set<std::string> generic = {"b", "vb", "ab", "target", "apre", "vpre", "spre"};
    for (const char* name : kDispatchNames) {
        SCOPED_TRACE(name);
        TCustomFFmpeg ff;
        const auto v = values.find(name);
        const std::string err = Failure(ff, name, v == values.end() ? "1" : v->second);
        if (const auto f = failures.find(name); f != failures.end())
            EXPECT_EQ(err, f->second);
        else if (std::string(name).starts_with("crop"))
            EXPECT_EQ(err, "Removed, use the crop filter instead");
        else if (std::string(name).starts_with("pad"))
            EXPECT_EQ(err, "Removed, use the pad filter instead");
        else
            EXPECT_EQ(err, "");
        if (!generic.contains(name)) {
            EXPECT_TRUE(ff.Options().generic_options.empty());
        }
    }
    TheLogger()->SetLogLevel(llVerbose);
}

TEST_F(EngineTest, OptionRowsChangeTheStateTheyName) {
    TCustomFFmpeg ff;
    const TOptionState& s = ff.Options();
    EXPECT_EQ(s.audio_sample_rate, 44100);
    EXPECT_EQ(s.recording_time, INT64_MAX);
    EXPECT_EQ(s.max_frames[AVMEDIA_TYPE_AUDIO], INT32_MAX);
    EXPECT_EQ(s.sws_flags, SWS_BICUBIC);
    ff.SetExtOption("ar", "22050");
    ff.SetExtOption("ar", "0");
    EXPECT_EQ(s.audio_sample_rate, 22050);
    ff.SetExtOption("ac", "-1");
    EXPECT_EQ(s.audio_channels, 2);
    ff.SetExtOption("vol", "0");
    EXPECT_EQ(s.audio_volume, 0);
    ff.SetExtOption("t", "00:01:02.5");
    EXPECT_EQ(s.recording_time, 62500000);
    EXPECT_EQ(ff.TotalOutputDuration(), 62500000);
    ff.SetExtOption("timestamp", "1970-01-02 00:00:00Z");
    EXPECT_EQ(s.recording_timestamp, 86400);
    ff.SetExtOption("metadata", "title=a=b");
    ff.SetExtOption("metadata", "title=c");
    ASSERT_EQ(s.metadata.size(), 1u);
    EXPECT_EQ(s.metadata[0].second, "c");
    ff.SetExtOption("map", "1.2");
    EXPECT_EQ(s.stream_maps.back().sync_file_index, 1);
    EXPECT_EQ(s.stream_maps.back().sync_stream_index, 2);
    ff.SetExtOption("map_meta_data", "0,s1:1,c2");
    EXPECT_EQ(s.meta_data_maps.back().out.type, 's');
    EXPECT_EQ(s.meta_data_maps.back().in.index, 2);
    EXPECT_EQ(s.metadata_streams_autocopy, 0);
    EXPECT_EQ(s.metadata_chapters_autocopy, 0);
    EXPECT_EQ(s.metadata_global_autocopy, 1);
    ff.SetExtOption("atag", "mp4a");
    EXPECT_EQ(s.audio.codec_tag, MKTAG('m', 'p', '4', 'a'));
    ff.SetExtOption("atag", "");
    EXPECT_EQ(s.audio.codec_tag, MKTAG('m', 'p', '4', 'a'));
    ff.SetExtOption("vtag", "42");
    EXPECT_EQ(s.video.codec_tag, 42u);
    ff.SetExtOption("absf", "=ignored");
    ff.SetExtOption("absf", "null=x");
    EXPECT_EQ(s.audio.bitstream_filters, std::vector<std::string>{"null"});
    ff.SetExtOption("acodec", "copy");
    EXPECT_TRUE(s.audio.stream_copy);
    ff.SetExtOption("acodec", "");
    EXPECT_TRUE(s.audio.stream_copy);
    ff.SetExtOption("itsscale", "3:0.5");
    EXPECT_EQ(s.input_ts_scale[3], 0.5);
    ff.SetExtOption("copyts", "0");
    EXPECT_FALSE(s.copy_ts);
    ff.SetExtOption("copyts", "no");
    EXPECT_TRUE(s.copy_ts);
    ff.SetExtOption("y", "");
    ff.SetExtOption("i", "x.wav");
    EXPECT_TRUE(Logged(llInfo, "Do nothing: option - i"));
    ff.SetExtOption("timelimit", "5");
    EXPECT_TRUE(Logged(llWarning, "Warning: -timelimit not implemented on Windows"));

    // Per-stream and per-file resets.
    ff.SetExtOption("an", "1");
    ff.SetExtOption("alang", "eng");
    ff.SetExtOption("f", "wav");
    ff.SetExtOption("ss", "5");
    ff.Options().ResetStreamOptions(AVMEDIA_TYPE_AUDIO);
    EXPECT_FALSE(s.audio.disable || s.audio.stream_copy);
    EXPECT_TRUE(s.audio.language.empty() && s.audio.bitstream_filters.empty());
    EXPECT_EQ(s.audio.codec_tag, MKTAG('m', 'p', '4', 'a'));
    ff.Options().ResetInputFileOptions();
    EXPECT_TRUE(s.forced_format.empty());
    EXPECT_EQ(s.start_time, 0);
    EXPECT_EQ(s.input_ts_scale[3], 1.0);
    EXPECT_EQ(s.audio_volume, 0);
    ff.ResetOptions();
    EXPECT_EQ(s.audio_volume, 256);
    EXPECT_TRUE(s.metadata.empty() && s.stream_maps.empty());
    EXPECT_EQ(ff.TotalOutputDuration(), -1);
}

TEST_F(EngineTest, MalformedValuesFailWithTheirTexts) {
    TCustomFFmpeg ff;
    ff.HaltOnInvalidOption = false;
    const std::vector<std::tuple<std::string, std::string, std::string>> bad = {
        {"ar", "abc", "'abc' is not a valid integer value"},
        {"adrift_threshold", "x", "'x' is not a valid floating point value"},
        {"fs", "1k", "'1k' is not a valid integer value"},
        {"t", "1:xx", "Invalid duration specification for t: 1:xx"},
        {"timestamp", "yesterday", "Invalid date specification for timestamp: yesterday"},
        {"itsscale", "20:1.0", "stream index over MAX_STREAMS(20)"},
        {"metadata", "title", "Missing ="},
        {"metadata", "=x", "wrong parameter of metadata"},
        {"map_meta_data", "0,x:0", "Invalid metadata type x."},
        {"atag", "abc", "tag parameter must be 4 chars or int value"},
        {"sample_fmt", "s17", "Invalid sample format \"s17\""},
        {"absf", "nosuchfilter=1", "Unknown bitstream filter nosuchfilter"},
        {"pass", "3", "pass number can be only 1 or 2"},
        {"qscale", "0", "qscale must be > 0.0 and <= 255"},
        {"qscale", "256", "qscale must be > 0.0 and <= 255"},
        {"r", "fast", "Incorrect frame rate"},
        {"r", "0", "Incorrect frame rate"},
        {"s", "big", "Incorrect frame size"},
        {"aspect", "0", "Incorrect aspect ratio specification."},
        {"aspect", "4:0", "Incorrect aspect ratio specification."},
        {"croptop", "1", "Removed, use the crop filter instead"},
        {"padcolor", "1", "Removed, use the pad filter instead"},
        {"target", "bluray", "Unknown target type"},
        {"apre", "no-such-preset", "Preset \"no-such-preset\" not found"},
        {"loglevel", "loud", "'loud' is not a valid integer value"},
    };
    for (const auto& [name, value, text] : bad) {
        SCOPED_TRACE(name + "=" + value);
        EXPECT_EQ(Failure(ff, name, value), text);
    }
    EXPECT_EQ(ff.Options().audio_sample_rate, 44100);
    EXPECT_TRUE(ff.Options().metadata.empty());
}

TEST_F(EngineTest, GenericOptionsGoToTheTemplateOfTheirKind) {
    TCustomFFmpeg ff;
    ff.SetExtOption("g", "33");  // video only
    EXPECT_EQ(ff.CodecTemplate(AVMEDIA_TYPE_VIDEO)->gop_size, 33);
    ff.SetExtOption("cutoff", "15000");  // audio only
    EXPECT_EQ(ff.CodecTemplate(AVMEDIA_TYPE_AUDIO)->cutoff, 15000);
    EXPECT_EQ(ff.CodecTemplate(AVMEDIA_TYPE_VIDEO)->cutoff, 0);
    ff.SetExtOption("packetsize", "2048");  // format template
    EXPECT_EQ(ff.FormatTemplate()->packet_size, 2048u);
    ff.SetExtOption("sws_flags", "bilinear");  // scaler template
    EXPECT_EQ(ff.Options().sws_flags, SWS_BILINEAR);
    ff.SetExtOption("vflags", "+global_header");  // prefix retry on the video template
    EXPECT_TRUE(ff.CodecTemplate(AVMEDIA_TYPE_VIDEO)->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
    ff.SetExtOption("preset", "fast");  // a private option of libx264
    ff.SetExtOption("muxrate", "1000");  // a private option of the MPEG muxers
    const std::vector<TGenericOption> expected = {{"g", "33"},           {"cutoff", "15000"},
                                                  {"packetsize", "2048"}, {"sws_flags", "bilinear"},
                                                  {"flags", "+global_header", AVMEDIA_TYPE_VIDEO},
                                                  {"preset", "fast"},
                                                  {"muxrate", "1000"}};
    EXPECT_EQ(ff.Options().generic_options, expected);

    // Applied later by kind: an audio encoder gets cutoff but not the GOP size.
    const AVCodec* aac = avcodec.avcodec_find_encoder_by_name("aac");
    ASSERT_TRUE(aac);
    TCodecContextPtr audio(avcodec.avcodec_alloc_context3(aac));
    const int gop = audio->gop_size;
    ff.ApplyGenericOptions(audio.get(), AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM);
    EXPECT_EQ(audio->cutoff, 15000);
    EXPECT_EQ(audio->gop_size, gop);
    const AVCodec* x264 = avcodec.avcodec_find_encoder_by_name("libx264");
    ASSERT_TRUE(x264);
    TCodecContextPtr video(avcodec.avcodec_alloc_context3(x264));
    ff.ApplyGenericOptions(video.get(), AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
    EXPECT_EQ(video->gop_size, 33);
    EXPECT_EQ(video->cutoff, 0);
    uint8_t* preset = nullptr;
    ASSERT_GE(avutil.av_opt_get(video.get(), "preset", AV_OPT_SEARCH_CHILDREN, &preset), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(preset), "fast");
    avutil.av_free(preset);
}

TEST_F(EngineTest, RejectedGenericOptionsHaltOnlyWhenAsked) {
    TCustomFFmpeg ff;
    EXPECT_EQ(Failure(ff, "nosuchoption", "1"), "Unrecognized option \"nosuchoption\"");
    EXPECT_EQ(Failure(ff, " ", "1"), "Unrecognized option \" \"");
    EXPECT_EQ(Failure(ff, "g", "many"), "Invalid value \"many\" for option \"g\"");
    EXPECT_EQ(Failure(ff, "ab", "lots"), "Invalid value \"lots\" for option \"ab\"");
    ff.HaltOnInvalidOption = false;
    EXPECT_EQ(Failure(ff, "nosuchoption", "1"), "");
    EXPECT_EQ(Failure(ff, "g", "many"), "");
    EXPECT_EQ(ff.LastOptionErr(), "Invalid value \"many\" for option \"g\"");
    EXPECT_TRUE(ff.Options().generic_options.empty());
    // Removed options fail whatever the halt setting.
    EXPECT_EQ(Failure(ff, "croptop", "4"), "Removed, use the crop filter instead");
}

TEST_F(EngineTest, BitRateWarnsWhenGivenInKilobits) {
    TCustomFFmpeg ff;
    ff.SetExtOption("ab", "128000");
    EXPECT_FALSE(Logged(llWarning, "WARNING: The bitrate parameter is set too low"));
    EXPECT_EQ(ff.CodecTemplate(AVMEDIA_TYPE_AUDIO)->bit_rate, 128000);
    ff.SetExtOption("ab", "128");
    EXPECT_TRUE(Logged(llWarning,
                       "WARNING: The bitrate parameter is set too low. It takes bits/s as "
                       "argument, not kbits/s"));
    ClearLog();
    ff.SetExtOption("vb", "500");
    EXPECT_TRUE(Logged(llWarning, "WARNING: The bitrate parameter is set too low"));
}

TEST_F(EngineTest, DebugOptionRaisesTheLogLevel) {
    TCustomFFmpeg ff;
    ff.SetExtOption("debug", "pict");
    EXPECT_EQ(TheLogger()->LogLevel(), llDebug);
}

TEST_F(EngineTest, KindPrefixedOptionsReachOnlyTheirKind) {
    TCustomFFmpeg ff;
    ff.SetExtOption("b", "2000000");
    ff.SetExtOption("ab", "192000");
    const AVCodec* mp2 = avcodec.avcodec_find_encoder_by_name("mp2");
    const AVCodec* mpeg2 = avcodec.avcodec_find_encoder_by_name("mpeg2video");
    ASSERT_TRUE(mp2 && mpeg2);
    TCodecContextPtr audio(avcodec.avcodec_alloc_context3(mp2));
    TCodecContextPtr video(avcodec.avcodec_alloc_context3(mpeg2));
    ff.ApplyGenericOptions(audio.get(), AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM);
    ff.ApplyGenericOptions(video.get(), AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
    EXPECT_EQ(audio->bit_rate, 192000);
    EXPECT_EQ(video->bit_rate, 2000000);
}

TEST_F(EngineTest, ListingAndThreadRowsLogTheirLines) {
    TCustomFFmpeg ff;
    ff.SetExtOption("threads", "2");
    EXPECT_EQ(ff.Options().thread_count, 2);
    EXPECT_TRUE(Logged(llVerbose, "Warning: if the ffmpeg libraries were not compiled with thread "
                                  "support, it would be using thread emulation."));
    ClearLog();
    ff.SetExtOption("sample_fmt", "list");
    EXPECT_TRUE(Logged(llInfo, "s16"));
    EXPECT_TRUE(Logged(llInfo, "fltp"));
    EXPECT_EQ(ff.Options().audio_sample_fmt, AV_SAMPLE_FMT_NONE);
    ff.SetExtOption("pix_fmt", "list");
    EXPECT_TRUE(Logged(llInfo, "yuv420p"));
    EXPECT_EQ(ff.Options().frame_pix_fmt, AV_PIX_FMT_NONE);
    // Negative verbosity silences the thread line.
    ClearLog();
    ff.SetExtOption("v", "-1");
    ff.SetExtOption("threads", "1");
    EXPECT_FALSE(Logged(llVerbose, "thread emulation"));
}
