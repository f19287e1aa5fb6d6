// Reading and writing log files: sizes, buffered bytes in and lines out, and the line
// reading that learns the line break. Compressed inputs are read decompressed, and outputs may
// be compressed.
#pragma once

#include "Compression.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace hostmoor {

// A file that cannot be measured, opened, read, written or closed: the path and the reason.
class IoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The reader of a pipe or socket output has gone (EPIPE).
class OutputClosed : public IoError {
public:
    using IoError::IoError;
};

// Raises IoError when the file cannot be opened.
std::int64_t FileSizeOf(const std::string& path);
// The format of a file's content by its first bytes; None for text and for anything that is
// not a regular file that can be read.
Compression FileCompression(const std::string& path);

// A line buffer larger than this gives its memory back once its line is written.
constexpr std::size_t kKeptLineCapacity = 16 << 20;

// Buffered sequential reading of bytes; Ctrl-Z ends the input. A regular file is read to its
// end as the reader finds it, lines added meanwhile included. One that becomes shorter than
// what was read of it, or ends before the size it had when it was opened (emptied or cut
// while it is read), raises IoError where the reader finds it, so that the line it was in is
// never taken as whole. An input that begins as gzip, bzip2, xz or zstd data is read
// decompressed, streams that follow one another as one; data that are damaged or cut short
// raise IoError where the decoder finds it, after the bytes decoded before.
class LogReader {
public:
    // A regular file; raises IoError for anything else, never waiting on a pipe.
    explicit LogReader(const std::string& path);
    // An open descriptor, such as standard input; `name` is for messages. Not closed here.
    LogReader(int fd, std::string name);
    ~LogReader();
    LogReader(const LogReader&) = delete;
    LogReader& operator=(const LogReader&) = delete;

    // Asked when a read is interrupted by a signal, and while a pipe or a terminal is waited
    // for: true ends the reading there, as if the input had ended, false reads on.
    void SetStop(std::function<bool()> stop) { fStop = std::move(stop); }

    // True when no byte is left or the next byte is a Ctrl-Z. Raises IoError.
    bool AtEnd();
    // Whether the next line can be read, or the end seen, without waiting: always for a file;
    // for a pipe or a terminal only when the line has arrived whole.
    bool LineReady();
    void Close();
    // After the text ended at a Ctrl-Z: the rest of a compressed input is decoded and thrown
    // away, so that damage after it is still found (garbled data may hold a Ctrl-Z of its
    // own). Raises IoError.
    void CheckRest();
    // Bytes taken from the input so far, decompressed.
    std::int64_t Consumed() const { return fConsumed + static_cast<std::int64_t>(fPos); }
    // The input's format, found from its first bytes when it is first asked (which may wait
    // for a pipe). Raises IoError.
    Compression Format();
    // Compressed bytes read from the input so far, for progress on any thread; -1 while the
    // input is not known to be compressed.
    std::int64_t CompressedBytesRead() const { return fCompressedRead.load(); }
    // For progress on any thread: the compressed bytes behind the first `decoded` bytes of
    // text, in proportion to what the decoder has taken and given so far (the reading runs
    // ahead of the rewrite); -1 while the input is not known to be compressed.
    std::int64_t CompressedBytesBehind(std::int64_t decoded) const;
    // Called before every read of the file but the first: a seam for tests that change the
    // file between two reads.
    void SetBetweenReads(std::function<void()> hook) { fBetweenReads = std::move(hook); }

private:
    friend bool ReadLogLineView(LogReader& in, std::string_view& line, std::string& scratch,
                                char& lineBreak, const std::function<bool()>& stop);
    bool Fill();
    // One read of the file: its size, 0 at the end, -1 when fStop gave the read up.
    long ReadRaw(char* into, std::size_t room);
    // Reads the first bytes, into fRaw, until they tell the format.
    void Detect();
    // Decodes what fRaw holds into the emptied buffer: whether that gave bytes or the end.
    bool Decode();
    // After a line ended by CR: drops the LF of a CR LF pair if it has arrived.
    void DropLfAfterCr();

    std::string fPath;
    int fFd = -1;
    bool fOwnsFd = true;
    std::string fBuffer;
    std::size_t fPos = 0;
    std::size_t fEnd = 0;
    std::int64_t fConsumed = 0; // bytes of the buffers before this one
    bool fEof = false;
    bool fRegular = true;
    bool fInterrupted = false;    // a read was given up because fStop held
    bool fAfterCr = false;        // the last line ended with a CR whose next byte is not read yet
    char fLastBreak = 10;         // the break that ended the last line, looked for first
    std::int64_t fSizeAtOpen = 0; // of a regular file read from its start
    std::int64_t fRawRead = 0;    // bytes read from the file
    int fReads = 0;
    std::function<bool()> fStop;
    std::function<void()> fBetweenReads;
    // The format, and for a compressed input its bytes read and not yet decoded.
    bool fDetected = false;
    Compression fFormat = Compression::None;
    std::unique_ptr<Decoder> fDecoder;
    std::string fRaw;
    std::size_t fRawPos = 0;
    std::size_t fRawEnd = 0;
    bool fRawEof = false;
    std::exception_ptr fDamage; // met while looking ahead: raised by the next read
    std::atomic<std::int64_t> fCompressedRead{-1};
    std::atomic<std::int64_t> fCompressedDecoded{0}; // compressed bytes the decoder has taken
    std::atomic<std::int64_t> fDecodedBytes{0};      // and the bytes it gave for them
};

// Buffered writing of whole lines. Completed lines reach the operating system when the buffer
// fills, on Flush and on Close. After a failed write the output is cut back to its last
// complete line before IoError is raised.
//
// A compressed output is compressed and written on a thread of its own, a few buffers of lines
// behind: the lines reach it when the buffer fills and on Flush, and the operating system once
// it has compressed them, all of them whenever it has been idle a moment. Close (or the
// destructor, after an error elsewhere) ends the stream. A failed write cuts the file back to
// the last point where the stream held whole lines, and IoError is raised by the next call.
class LogWriter {
public:
    // Creates or empties a file. Refuses, before a byte is lost, an output that is the input
    // file by another name, a symbolic link, or not a regular file (never waiting on a pipe).
    LogWriter(const std::string& path, const std::string& inputPath,
              Compression format = Compression::None);
    // An open descriptor, such as standard output; `name` is for messages. Not closed here.
    LogWriter(int fd, std::string name, Compression format = Compression::None);
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // What follows each line: CR LF unless set otherwise.
    void SetLineEnd(std::string_view end);
    // Asked when a write is interrupted by a signal (and by the thread of a compressed output
    // while a pipe or a terminal does not take its bytes): once it holds, the line in progress
    // is finished if the output takes it within a moment, and nothing more is written.
    void SetStop(std::function<bool()> stop) { fStop = std::move(stop); }
    void WriteLine(std::string_view line);
    // A line built in place: its bytes are appended to Building(), then LineBuilt() ends it.
    // Nothing else may be written between the two; a Flush writes only the lines before it.
    std::string& Building();
    void LineBuilt();
    // Hands every completed line to the operating system.
    void Flush();
    void Close();

private:
    class Compressor;

    Compressor& Compressing();
    std::size_t Write(const char* data, std::size_t size, int& error);
    // Raises IoError (OutputClosed for EPIPE) after cutting a regular file back by the bytes
    // just written past its last complete line.
    [[noreturn]] void FailAndCutBack(std::size_t unwanted, int error);

    std::string fPath;
    int fFd = -1;
    bool fOwnsFd = true;
    bool fCanCutBack = false;
    bool fWholeLines = false; // a pipe: each write ends on a line end
    std::string fLineEnd = "\r\n";
    std::string fBuffer;
    std::size_t fBuilding = std::string::npos; // where the line being built begins in fBuffer
    std::function<bool()> fStop;
    bool fStopped = false;                         // writing ended by fStop
    std::chrono::steady_clock::time_point fGiveUp; // for the rest of the line in progress
    Compression fFormat = Compression::None;
    std::unique_ptr<Compressor> fCompressor; // started by the first lines it is given
};

// Reads the next line. CR LF, a lone CR and a lone LF each end one line; the first break of
// the input is kept in lineBreak (CR for CR LF). Gives false, with the line incomplete, when
// stop() holds before the line is read (it is asked at every buffer of a long line).
bool ReadLogLine(LogReader& in, std::string& line, char& lineBreak,
                 const std::function<bool()>& stop = {});
// The same, without a copy where it can: `line` views the reader's buffer, or `scratch` for a
// line that spans two reads, until the next read.
bool ReadLogLineView(LogReader& in, std::string_view& line, std::string& scratch, char& lineBreak,
                     const std::function<bool()>& stop = {});

} // namespace hostmoor
