// Reading and writing log files: sizes, buffered bytes in and lines out, and the line
// reading that learns the line break.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace hostmoor {

// A file that cannot be measured, opened, read, written or closed: the path and the reason.
class IoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Raises IoError when the file cannot be opened.
std::int64_t FileSizeOf(const std::string& path);

// A line buffer larger than this gives its memory back once its line is written.
constexpr std::size_t kKeptLineCapacity = 16 << 20;

// Buffered sequential reading of bytes; Ctrl-Z ends the input.
class LogReader {
public:
    // A regular file; raises IoError for anything else, never waiting on a pipe.
    explicit LogReader(const std::string& path);
    // An open descriptor, such as standard input; `name` is for messages. Not closed here.
    LogReader(int fd, std::string name);
    ~LogReader();
    LogReader(const LogReader&) = delete;
    LogReader& operator=(const LogReader&) = delete;

    // Asked when a read is interrupted by a signal: true ends the reading there, as if the
    // input had ended, false reads on.
    void SetStop(std::function<bool()> stop) { fStop = std::move(stop); }

    // True when no byte is left or the next byte is a Ctrl-Z. Raises IoError.
    bool AtEnd();
    // Whether more can be read without waiting: always for a file, for a pipe or a terminal
    // only what has arrived.
    bool Ready();
    void Close();
    // Bytes taken from the input so far.
    std::int64_t Consumed() const { return fConsumed + static_cast<std::int64_t>(fPos); }

private:
    friend bool ReadLogLine(LogReader& in, std::string& line, char& lineBreak,
                            const std::function<bool()>& stop);
    bool Fill();

    std::string fPath;
    int fFd = -1;
    bool fOwnsFd = true;
    std::string fBuffer;
    std::size_t fPos = 0;
    std::size_t fEnd = 0;
    std::int64_t fConsumed = 0; // bytes of the buffers before this one
    bool fEof = false;
    bool fRegular = true;
    bool fInterrupted = false; // a read was given up because fStop held
    std::function<bool()> fStop;
};

// Buffered writing of whole lines. Completed lines reach the operating system when the buffer
// fills, on Flush and on Close. After a failed write the output is cut back to its last
// complete line before IoError is raised.
class LogWriter {
public:
    // Creates or empties a file. Refuses, before a byte is lost, an output that is the input
    // file by another name, a symbolic link, or not a regular file (never waiting on a pipe).
    LogWriter(const std::string& path, const std::string& inputPath);
    // An open descriptor, such as standard output; `name` is for messages. Not closed here.
    LogWriter(int fd, std::string name);
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // What follows each line: CR LF unless set otherwise.
    void SetLineEnd(std::string_view end);
    void WriteLine(std::string_view line);
    // Hands every completed line to the operating system.
    void Flush();
    void Close();

private:
    std::size_t Write(const char* data, std::size_t size, int& error);
    [[noreturn]] void FailAndCutBack(std::size_t keep, int error);

    std::string fPath;
    int fFd = -1;
    bool fOwnsFd = true;
    bool fCanCutBack = false;
    std::string fLineEnd = "\r\n";
    std::string fBuffer;
    std::int64_t fWritten = 0; // bytes of complete lines handed to the system
};

// Reads the next line. The first CR or LF of the input becomes the learned break; the other
// of the two is dropped wherever it stands. Gives false, with the line incomplete, when
// stop() holds before the line is read (it is asked at every buffer of a long line).
bool ReadLogLine(LogReader& in, std::string& line, char& lineBreak,
                 const std::function<bool()>& stop = {});

} // namespace hostmoor
