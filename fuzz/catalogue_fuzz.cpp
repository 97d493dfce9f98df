// libFuzzer target: the profile catalogue reader (byte-complemented file bytes, text decoding,
// line grammar) and the value lists of every profile read.
#include <cstdint>
#include <string>
#include <vector>

#include "Decryptor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    const std::string bytes(reinterpret_cast<const char*>(AData), ASize);
    std::vector<TProfile> profiles;
    try {
        LoadCatalogueText(DecodeCatalogueText(ComplementBytes(bytes)), profiles);
    } catch (const ECatalogueError&) {
    }
    for (const TProfile& p : profiles)
        for (const std::string* list : {&p.AudioBitRates, &p.SampleRates, &p.Channels, &p.AudioCodecs})
            for (bool values : {true, false}) (void)SplitValueList(*list, values);
    return 0;
}
