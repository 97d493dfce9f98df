// The catalogue reader: storage form, text encodings, line breaks, grammar and value lists.
#include <gtest/gtest.h>

#include <QString>
#include <QTemporaryDir>
#include <fstream>

#include "Decryptor.h"

namespace {

std::vector<TProfile> LoadBytes(const std::string& ABytes) {
    QTemporaryDir dir;
    const std::string file = dir.filePath("formats.dat").toStdString();
    std::ofstream(file, std::ios::binary) << ComplementBytes(ABytes);
    std::vector<TProfile> profiles;
    LoadCatalogueFile(file, profiles);
    return profiles;
}

std::string Utf16(const std::string& AUtf8, bool ALittleEndian) {
    const QString text = QString::fromStdString(AUtf8);
    std::string out = ALittleEndian ? "\xFF\xFE" : "\xFE\xFF";
    for (QChar c : text) {
        const char lo = static_cast<char>(c.unicode() & 0xFF), hi = static_cast<char>(c.unicode() >> 8);
        out += ALittleEndian ? std::string{lo, hi} : std::string{hi, lo};
    }
    return out;
}

const std::string Sample =
    "<ProfileSet>\r\n<Profile>\r\n  <profilename value=\"Caf\xC3\xA9 \xE2\x99\xAB\" />\r\n"
    "<formatext value=\".mp3\" />\r\n</ProfileSet>\r\n";

}  // namespace

TEST(Catalogue, EveryEncodingDecodesToTheSameProfiles) {
    const std::string title = "Caf\xC3\xA9 \xE2\x99\xAB";
    for (const std::string& bytes : {Sample, "\xEF\xBB\xBF" + Sample, Utf16(Sample, true), Utf16(Sample, false)}) {
        const auto profiles = LoadBytes(bytes);
        ASSERT_EQ(profiles.size(), 1u);
        EXPECT_EQ(profiles[0].Title, title);
        EXPECT_EQ(profiles[0].FormatExt, ".mp3");
    }
}

TEST(Catalogue, LineBreaksOfEveryKindSeparateLines) {
    for (const char* br : {"\r\n", "\n", "\r"}) {
        const std::string text = std::string("<Profile>") + br + "<formatext value=\".a\" />" + br +
                                 "<Profile>" + br + "<formatext value=\".b\" />";
        const auto profiles = LoadBytes(text);
        ASSERT_EQ(profiles.size(), 2u) << br;
        EXPECT_EQ(profiles[1].FormatExt, ".b");
    }
}

TEST(Catalogue, GrammarKeysValuesAndTheEndOfTheSet) {
    const auto profiles = LoadBytes(
        "<?xml version=\"1.0\"?>\n"
        "  \t<Profile>  \n"
        "<ProfileName value=\"first\" />\n"
        "<PROFILENAME value=\"second\" />\n"
        "<description value=\"  kept  verbatim \" extra=\"ignored\" />\n"
        "<samplerates value=\"44100$44 kHz,48000$48 kHz\"/>\n"
        "<channel value=\"2\n"
        "<unknownkey value=\"x\" />\n"
        "<formatext>.nope</formatext>\n"
        "no tag value=\"x\"\n"
        "</Profile>\n"
        "<Profile>\n"
        "<AudioCodecName value=\"aac\" />\n"
        "</ProfileSet>\n"
        "<Profile>\n"
        "<profilename value=\"after the end\" />\n");
    ASSERT_EQ(profiles.size(), 2u);
    EXPECT_EQ(profiles[0].Title, "second");
    EXPECT_EQ(profiles[0].Description, "  kept  verbatim ");
    EXPECT_EQ(profiles[0].SampleRates, "44100$44 kHz,48000$48 kHz");
    EXPECT_EQ(profiles[0].Channel, "");  // one quote only
    EXPECT_EQ(profiles[0].FormatExt, "");
    EXPECT_EQ(profiles[1].AudioCodecName, "aac");
    EXPECT_EQ(profiles[1].Title, "");
}

TEST(Catalogue, EmptyOrProfilelessCatalogueGivesNoProfiles) {
    EXPECT_TRUE(LoadBytes("").empty());
    EXPECT_TRUE(LoadBytes("<ProfileSet>\n</ProfileSet>\n").empty());
}

TEST(Catalogue, MissingFileAndKeyBeforeTheFirstProfileRaise) {
    std::vector<TProfile> profiles;
    EXPECT_THROW(LoadCatalogueFile("/nonexistent/formats.dat", profiles), ECatalogueError);
    EXPECT_THROW(LoadBytes("<ProfileSet>\n<profilename value=\"x\" />\n<Profile>\n"), ECatalogueError);
    // Tag lines without a key before the first profile are no key lines.
    EXPECT_EQ(LoadBytes("<ProfileSet>\n\n<!-- note -->\n<Profile>\n").size(), 1u);
}

TEST(Catalogue, ValueListsPairValuesAndLabelsByPosition) {
    using V = std::vector<std::string>;
    EXPECT_EQ(SplitValueList("a$A,b$B", true), (V{"a", "b"}));
    EXPECT_EQ(SplitValueList("a$A,b$B", false), (V{"A", "B"}));
    EXPECT_EQ(SplitValueList("a$A,b", true), (V{"a"}));
    EXPECT_EQ(SplitValueList("a$A,b", false), (V{"A", "b"}));
    EXPECT_EQ(SplitValueList("Mono,Stereo", true), V{});
    EXPECT_EQ(SplitValueList("Mono,Stereo", false), (V{"Mono", "Stereo"}));
    EXPECT_EQ(SplitValueList(" x $ y ", false), V{" y "});
    EXPECT_EQ(SplitValueList("", false), V{});
}
