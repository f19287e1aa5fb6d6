#include "LookAhead.h"

#include "EngineRuntime.h"
#include "KnownNames.h"
#include "LogFile.h"
#include "ScannedLines.h"

#include <algorithm>
#include <utility>

namespace hostmoor {

namespace {

// The window's line buffers keep their memory up to these, so that the window's lines need no
// new memory each time, while its memory stays bounded whatever lines pass through.
constexpr std::size_t kKeptSlotCapacity = 1024;
constexpr std::size_t kKeptSlotAddresses = 16;
// What an address of the window costs beside its text: its place in the line's list, and its
// share of the window's and the pool's records of addresses asked for.
constexpr std::size_t kAddressCost = 96;

std::size_t Cost(const LookAhead::Line& line) {
    return line.Text.size() + line.Found.size() * kAddressCost;
}

void GiveBackMemory(LookAhead::Line& line) {
    if (line.Text.capacity() > kKeptSlotCapacity)
        std::string().swap(line.Text);
    if (line.Found.capacity() > kKeptSlotAddresses) {
        std::vector<FoundAddress>().swap(line.Found);
        std::vector<char>().swap(line.Asked);
    }
}

void Swap(LookAhead::Line& a, LookAhead::Line& b) {
    a.Text.swap(b.Text);
    a.Found.swap(b.Found);
    a.Asked.swap(b.Asked);
    std::swap(a.Started, b.Started);
}

} // namespace

LookAhead::LookAhead(EngineRuntime& engine, LineSource& source, std::function<bool()> stop,
                     Window window, KnownNames* known, bool verify)
    : fEngine(engine), fSource(source), fStop(std::move(stop)), fLimits(window), fKnown(known),
      fVerify(verify), fRing(std::min<std::size_t>(64, std::max<std::size_t>(window.Lines, 1))) {}

LookAhead::~LookAhead() {
    std::vector<HostAddress> asked = std::move(fDone);
    for (const auto& [address, lines] : fAsked)
        asked.push_back(address);
    fEngine.LookupPool.Abandon(asked);
}

LookAhead::Line& LookAhead::Slot(std::size_t i) {
    const std::size_t at = fHead + i;
    return fRing[at < fRing.size() ? at : at - fRing.size()];
}

// Hands the line's addresses that are neither recorded nor asked for by the window to the pool.
void LookAhead::Ask(Line& line) {
    line.Asked.assign(line.Found.size(), 0);
    line.Started = false;
    for (std::size_t i = 0; i < line.Found.size(); ++i) {
        const HostAddress& address = line.Found[i].Address;
        std::string_view name;
        if (fKnown && fKnown->Find(address, name))
            continue; // recorded already: nothing to ask
        int& lines = fAsked[address];
        if (lines == 0) {
            if (!fEngine.LookupPool.Prefetch(address, fVerify)) {
                fAsked.erase(address); // recorded already: nothing to ask
                continue;
            }
            line.Started = true;
        }
        ++lines;
        line.Asked[i] = 1;
    }
    fStarting += line.Started;
}

// While asking rests, the few lines read ahead keep to the front of the ring: cycling through
// all of a ring grown for a full window, each line would be read into a buffer long out of the
// processor's cache.
void LookAhead::Compact() {
    const std::size_t enough = 2 * fLimits.Quiet + 2;
    if (fRing.size() <= 4 * enough || fCount > enough / 2)
        return;
    std::rotate(fRing.begin(), fRing.begin() + static_cast<std::ptrdiff_t>(fHead), fRing.end());
    fHead = 0;
    fRing.resize(enough);
    fRing.shrink_to_fit();
}

bool LookAhead::ReadOne() {
    if (fEnded || fStop()) {
        fEnded = true;
        return false;
    }
    if (fCount == fRing.size()) { // grow the ring, keeping the order of its lines
        std::rotate(fRing.begin(), fRing.begin() + static_cast<std::ptrdiff_t>(fHead), fRing.end());
        fHead = 0;
        fRing.resize(std::min(fRing.size() * 2, std::max<std::size_t>(fLimits.Lines, 1)));
    }
    Line& line = Slot(fCount);
    try {
        if (!fSource.Next(line)) {
            fEnded = true;
            return false;
        }
    } catch (const IoError&) {
        fEnded = true; // the line it was in is not taken; those before it are written
        fError = std::current_exception();
        return false;
    }
    if (fAsking) {
        Ask(line);
        ++fAskedLines;
    }
    fBytes += Cost(line);
    ++fCount;
    return true;
}

bool LookAhead::Next(Line& line) {
    if (!fDone.empty()) {
        fEngine.LookupPool.Abandon(fDone);
        fDone.clear();
    }
    auto room = [this] {
        const std::size_t lines = fAsking ? fLimits.Lines : std::min(fLimits.Quiet, fLimits.Lines);
        return fCount == 0 || (fCount < lines && fBytes < fLimits.Bytes && fSource.Ready());
    };
    while (room() && ReadOne()) {
    }
    if (fCount == 0 && fError)
        std::rethrow_exception(std::exchange(fError, nullptr));
    if (fCount == 0 || fStop())
        return false;
    // The caller's old line takes the front line's place, to be read into again.
    GiveBackMemory(line);
    Swap(line, Slot(0));
    fHead = fHead + 1 < fRing.size() ? fHead + 1 : 0;
    --fCount;
    // The line after this one was read on another processor, maybe: fetched while this one
    // is written.
    if (fCount > 1) {
        const Line& after = Slot(1);
        __builtin_prefetch(after.Text.data());
        __builtin_prefetch(after.Found.data());
        __builtin_prefetch(reinterpret_cast<const char*>(after.Found.data()) + 64);
    }
    // ... and the answers of the line after this one.
    if (fKnown && fCount > 0)
        for (const FoundAddress& found : Slot(0).Found)
            fKnown->Prefetch(found.Address);
    fBytes -= Cost(line);
    fAskedLines -= fAskedLines > 0;
    fStarting -= line.Started;
    for (std::size_t i = 0; i < line.Found.size(); ++i) {
        const FoundAddress& found = line.Found[i];
        if (i >= line.Asked.size() || !line.Asked[i])
            continue;
        if (auto it = fAsked.find(found.Address); it != fAsked.end() && --it->second == 0) {
            fAsked.erase(it);
            fDone.push_back(found.Address);
        }
    }
    // Asking rests once a window's worth of lines in a row has started no lookup.
    fCalm = fStarting > 0 || line.Started ? 0 : fCalm + 1;
    if (fAsking && fCalm >= fLimits.Quiet)
        fAsking = false;
    if (!fAsking)
        Compact();
    return true;
}

void LookAhead::AwaitAnswer(const HostAddress& address) {
    if (!fAsking) {
        // An address to look up after a calm stretch: ask for the whole window again.
        fAsking = true;
        fCalm = 0;
        for (std::size_t i = fAskedLines; i < fCount; ++i)
            Ask(Slot(i));
        fAskedLines = fCount;
    }
    fEngine.LookupPool.Await(address, fStop, fVerify);
}

} // namespace hostmoor
