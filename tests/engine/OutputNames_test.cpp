// Output names: patterns over tags (hostile, missing, Unicode), safe names, free names.
#include <gtest/gtest.h>

#include <fstream>

#include "OutputNames.h"
#include "TestMedia.h"

namespace {

TNameSource Tagged() {
    TNameSource s;
    s.Source = "/music/Live 2011/07 - song.flac";
    s.Root = "/music";
    s.Tags.Title = "Song";
    s.Tags.Artist = "Band";
    s.Tags.Album = "Live";
    s.Tags.Genre = "Rock";
    s.Tags.Year = "2011";
    s.Tags.Track = 7;
    s.Tags.Disc = 1;
    s.Ext = ".mp3";
    return s;
}

}  // namespace

TEST(OutputNames, PatternsBuildNamesAndFallBackWhereTagsAreMissing) {
    const TNameSource full = Tagged();
    TNameSource bare;
    bare.Source = "/in/a/b/take.wav";
    bare.Root = "/in";
    const struct {
        const TNameSource& Source;
        const char* Pattern;
        const char* Name;
    } cases[] = {
        {full, DefaultNamePattern, "07 - song"},  // today's name: the source's without extension
        {full, "{artist}/{album}/{track:02} {title}", "Band/Live/07 Song"},
        {full, "{albumartist} - {year} - {disc}.{track:03} {genre} {ext} {folder}", "Band - 2011 - 1.007 Rock mp3 Live 2011"},
        {full, "{relpath}/{name}", "Live 2011/07 - song"},
        {full, "{{literal}} {name}", "{literal} 07 - song"},
        {bare, "{artist}/{album}/{track:02} {title}", "Unknown Artist/Unknown Album/take"},
        {bare, "{relpath}/{name}", "a/b/take"},
        {bare, "{year}/{genre}/{name}", "Unknown Genre/take"},  // an empty part is dropped
        {bare, "{nonsense}", "take"},                            // a faulty pattern gives the name
    };
    for (const auto& c : cases) EXPECT_EQ(ExpandNamePattern(c.Pattern, c.Source), c.Name) << c.Pattern;

    TNameSource noRoot = full;
    noRoot.Root.clear();
    EXPECT_EQ(ExpandNamePattern("{relpath}/{name}", noRoot), "07 - song");
    TNameSource outside = full;
    outside.Root = "/elsewhere";
    EXPECT_EQ(ExpandNamePattern("{relpath}/{name}", outside), "07 - song");

    EXPECT_EQ(PatternError("{artist}/{title}"), "");
    EXPECT_NE(PatternError("{artst}"), "");
    EXPECT_NE(PatternError("{title"), "");
    EXPECT_NE(PatternError("title}"), "");
    EXPECT_NE(PatternError("{track:x}"), "");
    EXPECT_NE(PatternError("//"), "");
}

TEST(OutputNames, HostileTagsNeverLeaveTheOutputFolderNorMakeABadName) {
    TNameSource s = Tagged();
    const struct {
        const char* Artist;
        const char* Name;
    } cases[] = {
        {"../../etc", ".._.._etc/Song"},
        {"/abs/path", "_abs_path/Song"},
        {"..", "_/Song"},  // ".." as a whole name becomes "_": never a walk up
        {"a\\b", "a_b/Song"},
        {"x<>:\"|?*y", "x_______y/Song"},
        {"tab\there\nline", "tab_here_line/Song"},
        {"  dots and blanks . . ", "dots and blanks/Song"},
        {"CON", "_CON/Song"},
        {"com1.txt", "_com1.txt/Song"},
        {"Lpt9", "_Lpt9/Song"},
        {"COM10", "COM10/Song"},
        {"Sigur Rós – Ágætis byrjun 東京", "Sigur Rós – Ágætis byrjun 東京/Song"},
    };
    for (const auto& c : cases) {
        s.Tags.Artist = c.Artist;
        EXPECT_EQ(ExpandNamePattern("{artist}/{title}", s), c.Name) << c.Artist;
    }
    s.Tags.Artist = std::string("nul\0byte", 8);
    EXPECT_EQ(ExpandNamePattern("{artist}", s), "nul_byte");
    s.Tags.Title = "\xff\xfe broken \xc3";
    EXPECT_EQ(ExpandNamePattern("{title}", s), "__ broken _");

    // At most 255 bytes a part (room kept for a number and the extension), UTF-8 cut whole.
    const std::string longName(300, 'x');
    EXPECT_EQ(SafeNamePart(longName).size(), 255u);
    std::string wide;
    for (int i = 0; i < 100; ++i) wide += "東";  // 3 bytes each
    const std::string cut = SafeNamePart(wide, 100);
    EXPECT_EQ(cut.size(), 99u);
    s.Tags.Title = wide;
    const std::string built = ExpandNamePattern("{title}", s);
    EXPECT_LE(built.size(), 239u);
    EXPECT_EQ(built.size() % 3, 0u);
    EXPECT_EQ(SafeNamePart(""), "_");
    EXPECT_EQ(SafeNamePart("..."), "_");
}

TEST(OutputNames, AFreeNameNumbersPastFilesAndNamesTaken) {
    testmedia::ScopedTempDir dir("names");
    const std::string a = (dir / "a.mp3").string();
    EXPECT_EQ(FreeOutputName(a, {}), a);
    std::ofstream(dir / "a.mp3") << "x";
    EXPECT_EQ(FreeOutputName(a, {}), (dir / "a (2).mp3").string());
    std::ofstream(dir / "a (2).mp3") << "x";
    EXPECT_EQ(FreeOutputName(a, {(dir / "a (3).mp3").string()}), (dir / "a (4).mp3").string());

    TExistingPolicy p = epAsk;
    EXPECT_TRUE(ParseExistingPolicy("rename", p));
    EXPECT_EQ(p, epRename);
    EXPECT_FALSE(ParseExistingPolicy("Rename", p));
    EXPECT_STREQ(ExistingPolicyName(epSkip), "skip");
}
