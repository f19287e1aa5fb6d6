// The log rewriter: copies a text file with every resolvable dotted IPv4 address replaced by
// its host name.
#pragma once

#include "Resolver.h"
#include "Worker.h"

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace hostmoor {

// Sum of the input sizes of the current batch, and characters of lines read so far (in steps
// of ten lines). The rewrite page sets them to 0 and 1 before each batch.
extern std::atomic<std::int64_t> TotalBytes;
extern std::atomic<std::int64_t> ProcessedBytes;

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

bool IsDottedQuad(std::string_view text);

struct FoundAddress {
    std::string_view Text; // empty when there is none
    std::size_t Position = 0;
    std::size_t RunEnd = 0; // end of the run of digits and dots that held it
    hostmoor::Address Address = 0; // as inet_addr reads the text
};

// The first address in the line at or after `from` that is not on the ignore list.
FoundAddress FindAddressInLine(std::string_view line, std::size_t from = 0);

// The host name for a dotted address, empty when there is none.
std::string ReverseLookupCached(std::string_view addressText);
std::string ReverseLookupCached(Address address);

// Replaces every usable address in the line; each search goes on after the text just put in.
void SubstituteAddresses(std::string& line, const TWorker* worker);

class TRevLookup final : public TWorker {
public:
    // Registers the worker with ThreadManager.
    TRevLookup(std::string inFileName, std::string outFileName);

    const std::string InFileName;
    const std::string OutFileName;
    char LineBreak = 0;

    bool IsFileJob() const override { return true; }

protected:
    void Execute() override;
};

} // namespace hostmoor
