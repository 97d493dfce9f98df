// File names handed to FFmpeg. A name FFmpeg cannot take as it is travels as the UTF-8 text
// "unicode:utf8:" + name and is opened by our own file I/O through a custom AVIOContext.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

struct AVFormatContext;
struct AVInputFormat;
struct AVDictionary;
class TSysFile;

constexpr size_t kMediaFileNameArgSize = 2048;

class EFileNameTooLong : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The name is not a URL and FFmpeg could not open it as it is (not representable in the 8-bit
// code page on Windows; on other systems a ":" that FFmpeg would take for a protocol prefix, or
// text that is not valid UTF-8).
bool NeedsUnicodeURL(const std::string& AFileName);
// The argument for every FFmpeg call that takes a file name, in a 2048-byte buffer of the calling
// thread (valid until the thread converts the next name). A name that does not fit raises
// EFileNameTooLong.
const char* MediaFileNameArg(const std::string& AFileName);
bool IsUnicodeURL(const std::string& AText);
std::string UnicodeURLToFileName(const std::string& AText);
// The file name the user gave for a name FFmpeg holds.
std::string URLToFileName(const std::string& AText);

// Marks the Unicode file-name handling as installed (the loader's hook for avformat); asserts that
// the custom I/O functions are bound.
void RegisterUnicodeProtocol();
bool UnicodeProtocolRegistered();

// Opens an input the way every component does: a new format context with the interrupt callback,
// AFlags added to its flags, Unicode names and named pipes through our file I/O (a pipe is
// waited for in steps that ask the calling thread's interrupt). Answers the library's result
// (0 or a negative error code); on failure *ACtx stays null.
int OpenInputFile(AVFormatContext** ACtx, const std::string& AFileName,
                  const AVInputFormat* AFormat, AVDictionary** AOptions, int AFlags = 0);
// Closes an input opened by OpenInputFile (and its custom I/O); *ACtx becomes null.
void CloseInputFile(AVFormatContext** ACtx);
// Opens the output file of a format context into its pb (create-always), Unicode names through
// our file I/O, with the interrupt callback. Answers 0 or a negative error code.
int OpenOutputFile(AVFormatContext* ACtx, const std::string& AFileName, AVDictionary** AOptions);
// Makes an already opened file the output of a format context (its pb, our file I/O, seekable),
// with the interrupt callback; the context's I/O owns the file from then on. Answers 0 or a
// negative error code (the file is closed then).
int OpenOutputFileOn(AVFormatContext* ACtx, std::unique_ptr<TSysFile> AFile);
// The output of a format context is our file I/O and AFileName names its file right now.
bool OutputFileIsNamed(AVFormatContext* ACtx, const std::string& AFileName);
// Closes the output file of a format context (flushing it); pb becomes null.
void CloseOutputFile(AVFormatContext* ACtx);
