// Reading and writing log files: sizes, buffered bytes in and lines out, and the line
// reading that learns the line break.
#pragma once

#include <cstdint>
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

// Buffered sequential reading of bytes; Ctrl-Z ends the input.
class LogReader {
public:
    explicit LogReader(const std::string& path); // raises IoError
    ~LogReader();
    LogReader(const LogReader&) = delete;
    LogReader& operator=(const LogReader&) = delete;

    // True when no byte is left or the next byte is a Ctrl-Z. Raises IoError.
    bool AtEnd();
    void Close();

private:
    friend void ReadLogLine(LogReader& in, std::string& line, char& lineBreak);
    bool Fill();

    std::string fPath;
    int fFd = -1;
    std::string fBuffer;
    std::size_t fPos = 0;
    std::size_t fEnd = 0;
    bool fEof = false;
};

// Buffered writing; raises IoError.
class LogWriter {
public:
    // Refuses to create the output when it is the input file by another name.
    LogWriter(const std::string& path, const std::string& inputPath);
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    void WriteLine(std::string_view line); // the line and CR LF
    void Close();

private:
    void Flush();

    std::string fPath;
    int fFd = -1;
    std::string fBuffer;
};

// Reads the next line. The first CR or LF of the input becomes the learned break; the other
// of the two is dropped wherever it stands.
void ReadLogLine(LogReader& in, std::string& line, char& lineBreak);

} // namespace hostmoor
