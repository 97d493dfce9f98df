#include "UnicodeProtocol.h"

#include <atomic>
#include <cctype>
#include <cstring>
#include <mutex>
#include <set>

#include "Assert.h"
#include "FFAPI.h"
#include "FFLoad.h"
#include "Format.h"
#include "Platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const char kUnicodePrefix[] = "unicode:utf8:";
constexpr size_t kUnicodePrefixLen = sizeof(kUnicodePrefix) - 1;
constexpr int kIOBufferSize = 64 * 1024;

std::atomic<bool> g_Registered{false};

// Our custom I/O contexts (process-wide), so closing can tell them from the library's own.
std::mutex g_IOLock;  // guards g_OurIO
std::set<AVIOContext*> g_OurIO;

// ---- our file I/O behind a custom AVIOContext ----

// A file (File), or a named pipe read without blocking: PipeFd on POSIX systems, Pipe with the
// Event of its pending read on Windows.
struct TUnicodeFile {
    std::unique_ptr<TSysFile> File;
    int PipeFd = -1;
#ifdef _WIN32
    HANDLE Pipe = INVALID_HANDLE_VALUE;
    HANDLE Event = nullptr;
#endif
};

constexpr int kPipeWaitStep = 50;  // milliseconds between two interrupt checks

// A reading I/O context over AOpaque (registered as ours); null when out of memory.
AVIOContext* NewPipeIO(TUnicodeFile* AOpaque, int (*ARead)(void*, uint8_t*, int)) {
    auto* buffer = static_cast<unsigned char*>(avutil.av_malloc(kIOBufferSize));
    AVIOContext* pb = buffer ? avformat.avio_alloc_context(buffer, kIOBufferSize, 0, AOpaque,
                                                          ARead, nullptr, nullptr)
                             : nullptr;
    if (!pb) {
        avutil.av_free(buffer);
        return nullptr;
    }
    std::lock_guard lock(g_IOLock);
    g_OurIO.insert(pb);
    return pb;
}

#ifndef _WIN32

bool IsNamedPipe(const std::string& AFileName) {
    struct stat st;
    return stat(AFileName.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

// Waits for data in steps, asking the calling thread's interrupt (read time-out, stop request)
// between them: a pipe without a writer, or one that stops delivering, never blocks for good.
int ReadPipePacket(void* AOpaque, uint8_t* ABuf, int ASize) {
    const int fd = static_cast<TUnicodeFile*>(AOpaque)->PipeFd;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, kPipeWaitStep);
        if (r < 0 && errno != EINTR) return AVERROR(errno);
        if (r > 0) {
            const ssize_t n = read(fd, ABuf, static_cast<size_t>(ASize));
            if (n > 0) return static_cast<int>(n);
            if (n == 0 || (p.revents & POLLHUP)) return AVERROR_EOF;
            if (errno != EAGAIN && errno != EINTR) return AVERROR(errno);
        }
        if (URLInterruptCallback()) return AVERROR_EXIT;
    }
}

// Our reader of a named pipe: opened without waiting for a writer.
int OpenPipeIO(const std::string& AFileName, AVIOContext** APb) {
    const int fd = open(AFileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return AVERROR(errno);
    auto* opaque = new TUnicodeFile{nullptr, fd};
    AVIOContext* pb = NewPipeIO(opaque, ReadPipePacket);
    if (!pb) {
        close(fd);
        delete opaque;
        return AVERROR(ENOMEM);
    }
    *APb = pb;
    return 0;
}
#else
// "\\.\pipe\name", with either slash.
bool IsNamedPipe(const std::string& AFileName) {
    if (AFileName.size() < 10) return false;
    std::string head = AFileName.substr(0, 9);
    for (char& c : head)
        c = c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return head == "\\\\.\\pipe\\";
}

// An overlapped read that waits in steps, asking the calling thread's interrupt between them; an
// interrupted read is cancelled and has ended before its OVERLAPPED goes.
int ReadPipePacket(void* AOpaque, uint8_t* ABuf, int ASize) {
    auto* f = static_cast<TUnicodeFile*>(AOpaque);
    OVERLAPPED ov{};
    ov.hEvent = f->Event;
    DWORD got = 0;
    if (!ReadFile(f->Pipe, ABuf, static_cast<DWORD>(ASize), nullptr, &ov)) {
        const DWORD e = GetLastError();
        if (e == ERROR_BROKEN_PIPE) return AVERROR_EOF;
        if (e != ERROR_IO_PENDING) return AVERROR(EIO);
        while (WaitForSingleObject(f->Event, kPipeWaitStep) == WAIT_TIMEOUT)
            if (URLInterruptCallback()) {
                CancelIoEx(f->Pipe, &ov);
                GetOverlappedResult(f->Pipe, &ov, &got, TRUE);
                return AVERROR_EXIT;
            }
    }
    if (!GetOverlappedResult(f->Pipe, &ov, &got, FALSE))
        return GetLastError() == ERROR_BROKEN_PIPE ? AVERROR_EOF : AVERROR(EIO);
    return got > 0 ? static_cast<int>(got) : AVERROR_EOF;
}

// Our reader of a named pipe: waits in steps for the pipe's server (absent or busy), asking the
// calling thread's interrupt between them.
int OpenPipeIO(const std::string& AFileName, AVIOContext** APb) {
    const std::wstring name = Utf8ToPath(AFileName).wstring();
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (;;) {
        pipe = CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) break;
        const DWORD e = GetLastError();
        if (e == ERROR_PIPE_BUSY)
            WaitNamedPipeW(name.c_str(), kPipeWaitStep);
        else if (e == ERROR_FILE_NOT_FOUND)
            Sleep(kPipeWaitStep);
        else
            return AVERROR(e == ERROR_ACCESS_DENIED ? EACCES : EIO);
        if (URLInterruptCallback()) return AVERROR_EXIT;
    }
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto* opaque = event ? new TUnicodeFile{} : nullptr;
    AVIOContext* pb = nullptr;
    if (opaque) {
        opaque->Pipe = pipe;
        opaque->Event = event;
        pb = NewPipeIO(opaque, ReadPipePacket);
    }
    if (!pb) {
        CloseHandle(pipe);
        if (event) CloseHandle(event);
        delete opaque;
        return AVERROR(ENOMEM);
    }
    *APb = pb;
    return 0;
}
#endif

int ReadPacket(void* AOpaque, uint8_t* ABuf, int ASize) {
    const int n = static_cast<TUnicodeFile*>(AOpaque)->File->Read(ABuf, ASize);
    return n > 0 ? n : n == 0 ? AVERROR_EOF : AVERROR(EIO);
}

int WritePacket(void* AOpaque, uint8_t* ABuf, int ASize) {
    errno = 0;
    if (static_cast<TUnicodeFile*>(AOpaque)->File->Write(ABuf, ASize) == ASize) return ASize;
    return AVERROR(errno ? errno : EIO);
}

int64_t Seek(void* AOpaque, int64_t AOffset, int AWhence) {
    TSysFile& f = *static_cast<TUnicodeFile*>(AOpaque)->File;
    if (AWhence & AVSEEK_SIZE) return f.Size();
    return f.Seek(AOffset, AWhence & ~AVSEEK_FORCE);
}

// Our I/O context over an opened file (registered as ours); the context owns the file.
int NewFileIO(std::unique_ptr<TSysFile> AFile, bool AWrite, AVIOContext** APb) {
    QAC_ASSERT(avformat.avio_alloc_context, "avio_alloc_context not bound");
    auto* opaque = new TUnicodeFile{std::move(AFile), -1};
    auto* buffer = static_cast<unsigned char*>(avutil.av_malloc(kIOBufferSize));
    AVIOContext* pb = buffer ? avformat.avio_alloc_context(buffer, kIOBufferSize, AWrite ? 1 : 0,
                                                          opaque, AWrite ? nullptr : ReadPacket,
                                                          AWrite ? WritePacket : nullptr, Seek)
                             : nullptr;
    if (!pb) {
        avutil.av_free(buffer);
        delete opaque;
        return AVERROR(ENOMEM);
    }
    {
        std::lock_guard lock(g_IOLock);
        g_OurIO.insert(pb);
    }
    *APb = pb;
    return 0;
}

int OpenUnicodeIO(const std::string& AFileName, bool AWrite, AVIOContext** APb) {
    int error = 0;
    std::unique_ptr<TSysFile> file = TSysFile::Open(AFileName, AWrite, error);
    if (!file) return error;
    return NewFileIO(std::move(file), AWrite, APb);
}

// Frees one of our I/O contexts and closes its file; false when the context is not ours.
bool CloseUnicodeIO(AVIOContext** APb) {
    if (!*APb) return false;
    {
        std::lock_guard lock(g_IOLock);
        if (!g_OurIO.erase(*APb)) return false;
    }
    AVIOContext* pb = *APb;
    if (pb->write_flag) avformat.avio_flush(pb);
    auto* opaque = static_cast<TUnicodeFile*>(pb->opaque);
    avutil.av_freep(&pb->buffer);
    avformat.avio_context_free(APb);
    if (opaque) {
        opaque->File.reset();
#ifdef _WIN32
        if (opaque->Pipe != INVALID_HANDLE_VALUE) CloseHandle(opaque->Pipe);
        if (opaque->Event) CloseHandle(opaque->Event);
#else
        if (opaque->PipeFd >= 0) close(opaque->PipeFd);
#endif
        delete opaque;
    }
    return true;
}

}  // namespace

bool NeedsUnicodeURL(const std::string& AFileName) {
    const size_t colon = AFileName.find(':');
    if (colon != std::string::npos) {
        const std::string framed = ":" + AFileName.substr(0, colon) + ":";
        if (std::string(":unicode:stream:gopher:http:pipe:rtp:tcp:udp:").find(framed) !=
            std::string::npos)
            return false;
#ifndef _WIN32
        // FFmpeg would read the text before the colon as a protocol name.
        return true;
#endif
    }
    std::string narrow;
    if (!Utf8ToCodePage(AFileName, narrow)) return true;
    return CodePageToUtf8(narrow) != AFileName;
}

const char* MediaFileNameArg(const std::string& AFileName) {
    // One buffer per thread: conversion and playback threads convert names concurrently.
    thread_local char buffer[kMediaFileNameArgSize];
    std::string arg;
    if (NeedsUnicodeURL(AFileName)) {
        arg = kUnicodePrefix + AFileName;
    } else if (!Utf8ToCodePage(AFileName, arg)) {
        arg = AFileName;
    }
    if (arg.size() >= kMediaFileNameArgSize)
        throw EFileNameTooLong(Format("file name too long: %d bytes, at most %d: %s",
                                      static_cast<int>(arg.size()),
                                      static_cast<int>(kMediaFileNameArgSize - 1),
                                      AFileName.substr(0, 80) + "..."));
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer, arg.data(), arg.size());
    return buffer;
}

bool IsUnicodeURL(const std::string& AText) {
    return AText.size() >= kUnicodePrefixLen + 1 &&
           AText.compare(0, kUnicodePrefixLen, kUnicodePrefix) == 0;
}

std::string UnicodeURLToFileName(const std::string& AText) {
    std::string s = AText;
    for (int i = 0; i < 2; ++i) {
        const size_t p = s.find(':');
        if (p == std::string::npos) break;
        s.erase(0, p + 1);
    }
    return s;
}

std::string URLToFileName(const std::string& AText) {
    return IsUnicodeURL(AText) ? UnicodeURLToFileName(AText) : CodePageToUtf8(AText);
}

void RegisterUnicodeProtocol() {
    QAC_ASSERT(avformat.avio_alloc_context, "avio_alloc_context not bound");
    QAC_ASSERT(avformat.avio_context_free, "avio_context_free not bound");
    g_Registered = true;
}

bool UnicodeProtocolRegistered() { return g_Registered; }

int OpenInputFile(AVFormatContext** ACtx, const std::string& AFileName,
                  const AVInputFormat* AFormat, AVDictionary** AOptions, int AFlags) {
    *ACtx = nullptr;
    const std::string url = MediaFileNameArg(AFileName);
    AVFormatContext* ctx = avformat.avformat_alloc_context();
    if (!ctx) return AVERROR(ENOMEM);
    ctx->interrupt_callback.callback = URLInterruptCallbackAV;
    ctx->interrupt_callback.opaque = nullptr;
    ctx->flags |= AFlags;
    AVIOContext* pb = nullptr;
    int r = 0;
    const std::string name = IsUnicodeURL(url) ? UnicodeURLToFileName(url) : url;
    if (IsNamedPipe(name)) r = OpenPipeIO(name, &pb);
    else if (IsUnicodeURL(url)) r = OpenUnicodeIO(name, false, &pb);
    if (r < 0) {
        avformat.avformat_free_context(ctx);
        return r;
    }
    ctx->pb = pb;
    r = avformat.avformat_open_input(&ctx, url.c_str(), AFormat, AOptions);
    if (r < 0) {
        // The library freed the context; the custom I/O stays ours to free.
        CloseUnicodeIO(&pb);
        return r;
    }
    *ACtx = ctx;
    return 0;
}

void CloseInputFile(AVFormatContext** ACtx) {
    if (!*ACtx) return;
    AVIOContext* pb = ((*ACtx)->flags & AVFMT_FLAG_CUSTOM_IO) ? (*ACtx)->pb : nullptr;
    avformat.avformat_close_input(ACtx);
    CloseUnicodeIO(&pb);
}

int OpenOutputFile(AVFormatContext* ACtx, const std::string& AFileName, AVDictionary** AOptions) {
    const std::string url = MediaFileNameArg(AFileName);
    if (!ACtx->interrupt_callback.callback) {
        ACtx->interrupt_callback.callback = URLInterruptCallbackAV;
        ACtx->interrupt_callback.opaque = nullptr;
    }
    if (IsUnicodeURL(url)) {
        const int r = OpenUnicodeIO(UnicodeURLToFileName(url), true, &ACtx->pb);
        if (r == 0) ACtx->flags |= AVFMT_FLAG_CUSTOM_IO;
        return r;
    }
    return avformat.avio_open2(&ACtx->pb, url.c_str(), AVIO_FLAG_WRITE, &ACtx->interrupt_callback,
                               AOptions);
}

int OpenOutputFileOn(AVFormatContext* ACtx, std::unique_ptr<TSysFile> AFile) {
    if (!ACtx->interrupt_callback.callback) {
        ACtx->interrupt_callback.callback = URLInterruptCallbackAV;
        ACtx->interrupt_callback.opaque = nullptr;
    }
    const int r = NewFileIO(std::move(AFile), true, &ACtx->pb);
    if (r == 0) ACtx->flags |= AVFMT_FLAG_CUSTOM_IO;
    return r;
}

bool OutputFileIsNamed(AVFormatContext* ACtx, const std::string& AFileName) {
    if (!ACtx || !ACtx->pb) return false;
    {
        std::lock_guard lock(g_IOLock);
        if (!g_OurIO.count(ACtx->pb)) return false;
    }
    auto* opaque = static_cast<TUnicodeFile*>(ACtx->pb->opaque);
    return opaque && opaque->File && opaque->File->IsNamed(AFileName);
}

void CloseOutputFile(AVFormatContext* ACtx) {
    if (!ACtx || !ACtx->pb) return;
    if (!CloseUnicodeIO(&ACtx->pb)) avformat.avio_closep(&ACtx->pb);
    ACtx->pb = nullptr;
}
