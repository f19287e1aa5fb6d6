// The lines of an input with the addresses found in them, for the rewriter: read and scanned
// where they are asked for, or on a thread of their own that keeps a few batches of lines
// ready while the caller looks up and writes the lines before them, so that a rewrite uses two
// cores where there are two.
#pragma once

#include "AddressScanner.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hostmoor {

class LogReader;

struct ScannedLine {
    std::string Text;
    std::vector<FoundAddress> Found; // its ScanAddresses list
    std::vector<char> Asked;         // the look-ahead's: which of them it asked for
    bool Started = false;            // the look-ahead's: it handed a lookup to the pool
};

class LineSource {
public:
    virtual ~LineSource() = default;
    // The next line, swapped into `line`, whose buffers are reused for a later line; false at
    // the end of the input, or once stop() holds (a line stopped inside is not given). An error
    // of the input is raised after the lines read before it.
    virtual bool Next(ScannedLine& line) = 0;
    // Whether Next can give a line, or the end, without waiting for the input.
    virtual bool Ready() = 0;
    // The first line break of the lines given so far (CR for CR LF), 0 before it.
    virtual char LineBreak() const = 0;
    // Whether stop() ended the lines before the input did.
    virtual bool Stopped() const = 0;
};

// On a thread of its own when `ownThread`; stop() must then be safe to call from it.
std::unique_ptr<LineSource> MakeLineSource(LogReader& in, std::function<bool()> stop, bool ipv6,
                                           bool ownThread);

// Whether a second processor is there for this process and free now: none else waits to run.
bool SecondProcessorFree();

} // namespace hostmoor
