// Output names: the naming pattern, names safe on every file system, and what happens when an
// output exists. Qt-free; the window and the batch mode name their outputs through these.
//
// A pattern is text with placeholders in braces; "/" in it makes sub-folders:
//   {name}        the source file's name without its extension
//   {folder}      the name of the source's folder
//   {relpath}     the source's folder below the folder it was added from (empty for a file added
//                 by itself): keeps the folder tree
//   {title} {artist} {albumartist} {album} {genre} {year}
//   {track} {disc}  numbers; {track:02} pads with zeros to two digits (any width 1 to 9)
//   {ext}         the profile's extension without its dot
// A missing tag falls back: title to {name}, artist and album artist to each other and then to
// "Unknown Artist", album to "Unknown Album", genre to "Unknown Genre", year, track and disc to
// nothing. "{{" and "}}" stand for braces. The default pattern "{name}" gives the source's name.
#pragma once

#include <set>
#include <string>

// The tags a pattern names, as the probe found them (empty, or -1: none).
struct TNameTags {
    std::string Title, Artist, AlbumArtist, Album, Genre, Year;
    int Track = -1, Disc = -1;
};

struct TNameSource {
    std::string Source;  // the source file
    std::string Root;    // the folder it was added from; empty: added by itself
    TNameTags Tags;
    std::string Ext;  // the profile's extension, with its dot
};

inline const char* const DefaultNamePattern = "{name}";

// Why APattern cannot name outputs (an unknown placeholder, an unclosed brace); empty when it can.
std::string PatternError(const std::string& APattern);

// The output's path below the output folder, without extension, parts joined by "/": every part
// cleaned by SafeNamePart, empty parts dropped. A pattern error gives the source's name.
std::string ExpandNamePattern(const std::string& APattern, const TNameSource& ASource);

// One folder or file name that every target file system takes: no "/", "\", NUL or other control
// characters, none of <>:"|?*, no leading or trailing blanks, no trailing dots, not "." or "..",
// not a reserved Windows device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, also with an
// extension), at most AMaxBytes bytes of UTF-8 cut at a character's boundary. Characters taken
// out become "_"; a name left empty becomes "_".
std::string SafeNamePart(const std::string& AName, size_t AMaxBytes = 255);

// What happens when an output exists already.
enum TExistingPolicy { epAsk, epSkip, epOverwrite, epRename };
// "ask", "skip", "overwrite", "rename"; false for another text.
bool ParseExistingPolicy(const std::string& AText, TExistingPolicy& APolicy);
const char* ExistingPolicyName(TExistingPolicy APolicy);

// AFile when no file has its name and ATaken does not hold it (compared as given); else
// "<stem> (N)<ext>" with the first N from 2 on that is free in both.
std::string FreeOutputName(const std::string& AFile, const std::set<std::string>& ATaken);
