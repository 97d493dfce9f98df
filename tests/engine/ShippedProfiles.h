// The output profiles the program ships (data/formats.txt), as the conversion run turns them into
// output records.
#pragma once

#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "FFmpegRecords.h"

struct TShippedProfile {
    std::string Name, Ext, Codec, ExtraParam;
    int SampleRate = 0, BitRate = 0, Channels = 0;
};

inline std::vector<TShippedProfile> ShippedProfiles() {
    std::ifstream file(QAC_PROFILES_FILE);
    if (!file) throw std::runtime_error("cannot read " + std::string(QAC_PROFILES_FILE));
    const std::regex key(R"re(<(\w+) value="([^"]*)" />)re");
    std::vector<TShippedProfile> profiles;
    std::smatch m;
    for (std::string line; std::getline(file, line);) {
        if (line.find("<Profile>") != std::string::npos) profiles.emplace_back();
        if (profiles.empty() || !std::regex_search(line, m, key)) continue;
        TShippedProfile& p = profiles.back();
        const std::string k = m[1], v = m[2];
        if (k == "profilename") p.Name = v;
        else if (k == "formatext") p.Ext = v;
        else if (k == "audiocodecname") p.Codec = v;
        else if (k == "extraparam") p.ExtraParam = v;
        else if (k == "samplerate") p.SampleRate = std::stoi(v);
        else if (k == "audiobitrate") p.BitRate = std::stoi(v);
        else if (k == "channel") p.Channels = std::stoi(v);
    }
    return profiles;
}

// The output record the conversion run fills for a job of the profile.
inline TOutputOptions ProfileOutput(const TShippedProfile& AProfile, const std::string& AFileName) {
    TOutputOptions o;
    InitOutputOptions(o);
    o.FileName = AFileName;
    o.FileExt = AProfile.Ext;
    o.AudioCodec = AProfile.Codec;
    o.AudioChannels = AProfile.Channels;
    o.AudioSampleRate = AProfile.SampleRate;
    o.AudioBitrate = AProfile.BitRate;
    o.DisableVideo = true;
    o.ExtOptions = AProfile.ExtraParam;
    return o;
}

// Lossless profiles give back exactly the samples they were given.
inline bool LosslessProfile(const TShippedProfile& AProfile) {
    return AProfile.Codec.rfind("pcm_", 0) == 0 || AProfile.Codec == "flac" ||
           AProfile.Codec == "alac" || AProfile.Codec == "wavpack";
}
