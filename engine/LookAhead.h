// Reading ahead of the line being written: a bounded window of lines whose addresses are handed
// to the engine's lookup pool, so that lookups overlap each other and the reading.
#pragma once

#include "AddressScanner.h"
#include "Resolver.h"
#include "ScannedLines.h"

#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace hostmoor {

class EngineRuntime;
class KnownNames;

class LookAhead {
public:
    // How far reading runs ahead while lookups are wanted: this many lines and bytes at most
    // (always one line); each address found counts as some bytes more, for its records. Once Quiet
    // lines in a row have wanted none, it reads only Quiet lines ahead and asks nothing, so that a
    // line is still in the processor's cache when it is written; the first address the writer finds
    // unrecorded wakes it again.
    struct Window {
        std::size_t Lines = 16384;
        std::size_t Bytes = 8 << 20;
        std::size_t Quiet = 256;
    };
    using Line = ScannedLine;

    // The lines come from `source`; answers already in `known` are not asked for again. With
    // verify, a name's lookup asks whether it points back to the address too.
    LookAhead(EngineRuntime& engine, LineSource& source, std::function<bool()> stop, Window window,
              KnownNames* known = nullptr, bool verify = false);
    LookAhead(const LookAhead&) = delete;
    LookAhead& operator=(const LookAhead&) = delete;
    // Lookups asked for and not taken are abandoned.
    ~LookAhead();

    // The next line in the input's order; false at the end of the input or once stop() holds.
    // An error of the input is raised after the lines read before it.
    // The line given back is reused for reading, so its buffers are not made anew each line.
    // From a pipe or a terminal it reads ahead only what has already arrived.
    bool Next(Line& line);
    // Whether Next can give a line, or the end, without waiting for the input.
    bool Ready() { return fCount > 0 || fEnded || fSource.Ready(); }
    // Waits for the answer of an unrecorded address of the line, and for its lookup only.
    void AwaitAnswer(const HostAddress& address);

private:
    bool ReadOne();
    void Compact();
    void Ask(Line& line);
    Line& Slot(std::size_t i);

    EngineRuntime& fEngine;
    LineSource& fSource;
    const std::function<bool()> fStop;
    const Window fLimits;
    KnownNames* const fKnown; // answers already found recorded: not asked for again
    const bool fVerify;
    std::vector<Line> fRing; // the window: fCount lines from fHead
    std::size_t fHead = 0;
    std::size_t fCount = 0;
    std::size_t fBytes = 0;      // the window's text and its addresses' records
    std::size_t fAskedLines = 0; // the first lines of the window, whose addresses were asked
    std::size_t fStarting = 0;   // lines of the window that started a lookup
    std::size_t fCalm = 0;       // lines given out in a row while none did
    bool fAsking = true;
    bool fEnded = false;
    // What ended the reading, raised once the lines read before it are given out.
    std::exception_ptr fError;
    // The addresses asked for by lines of the window: how many of those lines hold each.
    std::unordered_map<HostAddress, int> fAsked;
    // The addresses of the line last given out that no line of the window holds: the pool is
    // told this worker needs them no more once that line is done.
    std::vector<HostAddress> fDone;
};

} // namespace hostmoor
