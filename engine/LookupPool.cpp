#include "LookupPool.h"

#include "EngineRuntime.h"
#include "RevLookup.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/resource.h>
#include <system_error>

namespace hostmoor {

namespace {

// A lookup needs little stack, and a thousand of them must not cost a thousand ordinary
// stacks. Sanitizers need their own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kStack = 0;
#else
constexpr std::size_t kStack = 256 << 10;
#endif

// Reverse zones kept as having answered, at most.
constexpr std::size_t kMostZones = 1 << 20;

// How often the lookups in flight are looked over for overdue ones, and how often more are
// let in while the level rises.
constexpr auto kCheckEvery = std::chrono::milliseconds(10);
constexpr auto kRiseStep = std::chrono::milliseconds(1);

// The reverse zone an address's name usually lives in: its /24, or for IPv6 its /48.
std::uint64_t ZoneOf(const HostAddress& address) {
    const Address6& b = address.Bytes();
    std::uint64_t zone = address.IsV4() ? 1 : 2;
    const int first = address.IsV4() ? 12 : 0;
    const int count = address.IsV4() ? 3 : 6;
    for (int i = first; i < first + count; ++i)
        zone = zone << 8 | b[static_cast<std::size_t>(i)];
    return zone;
}

// How long the system's resolver waits for an answer before it gives up: its time-out times
// its attempts, as its configuration says.
std::chrono::steady_clock::duration ResolverGiveUp() {
    struct __res_state state {};
    std::chrono::seconds giveUp(10); // glibc's defaults: 5 s, twice
    if (res_ninit(&state) == 0) {
        giveUp = std::chrono::seconds(std::max(1, state.retrans) * std::max(1, state.retry));
        res_nclose(&state);
    }
    return giveUp;
}

// Each thread keeps a socket for each name server it asks, and opens the hosts file while it
// reads it: the threads together leave room for the process's other files. Beyond that a
// lookup could not open its socket, and would fail as if the name servers had not answered.
int MostThreads() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY)
        return TLookupPool::kMaxLimit;
    const long soft = static_cast<long>(std::min<rlim_t>(files.rlim_cur, 1 << 20));
    int servers = 1;
    struct __res_state state {};
    if (res_ninit(&state) == 0) {
        servers = std::max(1, state.nscount);
        res_nclose(&state);
    }
    const long reserve = std::min(64L, soft / 4);
    return static_cast<int>(
        std::clamp((soft - reserve) / (servers + 1), 1L, long{TLookupPool::kMaxLimit}));
}

// A name, or the name servers' verdict that there is none: the zone answers.
bool Answered(const LookupOutcome& outcome) {
    return outcome.Host || outcome.ErrorCode == kErrHostNotFound || outcome.ErrorCode == kErrNoData;
}

} // namespace

// Tells the level of each attempt of one lookup, and keeps its entry's record of the attempt
// in progress for the overdue check.
class TLookupPool::Attempts final : public AttemptObserver {
public:
    Attempts(TLookupPool& pool, const HostAddress& address)
        : fPool(pool), fAddress(address), fZone(ZoneOf(address)) {}

    void Begins(bool forward) override {
        std::unique_lock lock(fPool.fLock);
        // A second or third attempt waits for room like a first one: the lookup it follows
        // may have been lost to a resolver that takes no more. Those waiting take none, and
        // go one at a time.
        ++fPool.fWaitingForRoom;
        while (fPool.fLevel && fPool.InAttempts() >= fPool.Allowed() && !fPool.fStopping)
            fPool.fRoom.wait_for(lock, kCheckEvery);
        --fPool.fWaitingForRoom;
        const auto now = Clock::now();
        auto it = fPool.fInFlight.find(fAddress);
        if (it == fPool.fInFlight.end())
            return;
        fPool.Found(it->second);
        it->second.AttemptStart = now;
        it->second.InFlightAtStart = fPool.InAttempts();
        it->second.InAttempt = true;
        it->second.Forward = forward;
        it->second.Counted = true;
        it->second.AttemptsAtStart = ++fPool.fAttemptsNow;
        if (fPool.fLevel)
            fPool.fLevel->Began(now, it->second.InFlightAtStart,
                                static_cast<int>(fPool.fInFlight.size()) -
                                    it->second.InFlightAtStart);
    }

    void Ended(const LookupOutcome& outcome, bool forward) override {
        const auto now = Clock::now();
        std::lock_guard guard(fPool.fLock);
        auto it = fPool.fInFlight.find(fAddress);
        if (it == fPool.fInFlight.end())
            return;
        const bool answered = Answered(outcome);
        // A name's own zone says nothing of the address's: its silence is never counted.
        if (answered && !forward) {
            if (fPool.fAnsweredZones.size() >= kMostZones)
                fPool.fAnsweredZones.clear(); // a very long run begins to learn them again
            fPool.fAnsweredZones.insert(fZone);
        }
        // An attempt already counted as overdue told the level what its end would.
        if (fPool.fLevel && !(it->second.OverdueTold && !answered)) {
            const int before = fPool.fLevel->Level();
            fPool.fLevel->Ended(now, it->second.AttemptStart, answered,
                                !forward && fPool.fAnsweredZones.count(fZone) > 0,
                                it->second.InFlightAtStart);
            if (fPool.fLevel->Level() > before)
                fPool.MoreRoom();
        }
        fPool.Found(it->second);
        it->second.InAttempt = false;
    }

private:
    TLookupPool& fPool;
    const HostAddress fAddress;
    const std::uint64_t fZone;
};

TLookupPool::TLookupPool(EngineRuntime& engine) : fEngine(engine), fMostThreads(MostThreads()) {
    SetLimit(kAutomatic);
}

TLookupPool::~TLookupPool() {
    Shutdown();
    for (pthread_t thread : fThreads)
        pthread_join(thread, nullptr);
}

bool TLookupPool::Shutdown() {
    {
        std::lock_guard guard(fLock);
        fStopping = true;
        fQueue.clear();
        std::erase_if(fInFlight, [](const auto& entry) { return !entry.second.Running; });
    }
    fWork.notify_all();
    fDone.notify_all();
    fRoom.notify_all();
    return fRunning.load() > 0;
}

void TLookupPool::SetLimit(int limit) {
    std::lock_guard guard(fLock);
    fLimit = limit == kAutomatic ? kAutomatic : std::clamp(limit, 0, kMaxLimit);
    fLevel.reset();
    if (fLimit == kAutomatic) {
        LookupLevel::Limits limits;
        limits.Most = std::max(fMostThreads, limits.Least);
        limits.GiveUp = ResolverGiveUp();
        fLevel.emplace(limits, Clock::now());
    }
}

int TLookupPool::HighestLevel() const {
    std::lock_guard guard(fLock);
    return fLevel ? fLevel->Highest() : fLimit;
}

// Under fLock: more lookups may begin now, or more threads wait for room, than before.
void TLookupPool::MoreRoom() {
    Staff();
    fWork.notify_all();
    fRoom.notify_all();
}

int TLookupPool::Allowed() const {
    return fLevel ? fLevel->LevelAt(Clock::now()) : fLimit;
}

bool TLookupPool::Recorded(const HostAddress& address, bool verify) const {
    if (fEngine.IgnoreList.Ignore(address))
        return true;
    if (!verify)
        return fEngine.DNSCache.Contains(address);
    // A name counts only with its verdict.
    const auto name = fEngine.DNSCache.FindAddr(address);
    return name &&
           (name->empty() || fEngine.Confirmations.Find(address) != Confirmation::Unchecked);
}

void* TLookupPool::ThreadBody(void* pool) {
    static_cast<TLookupPool*>(pool)->Serve();
    return nullptr;
}

// Under fLock. A thread the system refuses is done without: the pool goes on with those it
// has, and asks again a second later.
void TLookupPool::Staff() {
    while (static_cast<int>(fQueue.size()) > fIdle &&
           static_cast<int>(fThreads.size()) <
               std::min(fMostThreads, (fLevel ? fLevel->Level() : fLimit) + fLostRunning) &&
           !fStopping) {
        const auto now = Clock::now();
        if (now < fNoThreadsUntil)
            return;
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        if (kStack > 0)
            pthread_attr_setstacksize(&attributes, kStack);
        pthread_t thread;
        const int rc = pthread_create(&thread, &attributes, &TLookupPool::ThreadBody, this);
        pthread_attr_destroy(&attributes);
        if (rc != 0) {
            fNoThreadsUntil = now + std::chrono::seconds(1);
            return;
        }
        fThreads.push_back(thread);
        ++fIdle; // it waits for work until it takes some
    }
}

// Under fLock.
void TLookupPool::Enqueue(const HostAddress& address, bool first) {
    if (first)
        fQueue.push_front(address);
    else
        fQueue.push_back(address);
    Staff();
    if (fThreads.empty()) {
        fQueue.clear(); // the worker that awaits it looks it up
        return;
    }
    if (!fWatching || HasRoom())
        fWork.notify_one();
}

void TLookupPool::Run(std::unique_lock<std::mutex>& lock, const HostAddress& address) {
    Entry& entry = fInFlight[address];
    const bool verify = entry.Verify;
    entry.Verifying = verify;
    entry.Running = true;
    entry.AttemptStart = Clock::now();
    entry.InFlightAtStart = ++fRunning;
    fRunningNow.insert(address);
    lock.unlock();
    std::exception_ptr error;
    try {
        // Another worker's lookup may have recorded it since it was queued.
        Attempts attempts(*this, address);
        if (!Recorded(address, verify))
            fLookups += LookUpAndRecord(fEngine, address, nullptr, &attempts, verify);
    } catch (...) {
        error = std::current_exception();
    }
    lock.lock();
    --fRunning;
    fRunningNow.erase(address);
    auto it = fInFlight.find(address);
    Found(it->second);
    const bool awaited = it->second.Awaited;
    if (error && it->second.Interest > 0) {
        it->second.Running = false;
        it->second.Error = error;
    } else {
        fInFlight.erase(it);
    }
    // Only a worker that awaits this address, and one attempt that waits for room, are woken.
    if (awaited)
        fDone.notify_all();
    if (fWaitingForRoom > 0)
        fRoom.notify_one();
}

// Under fLock: the attempt has ended: it counts no more as lost, nor as under way.
void TLookupPool::Found(Entry& entry) {
    Uncount(entry);
    if (entry.OverdueTold) {
        entry.OverdueTold = false;
        --fLostRunning;
    }
}

void TLookupPool::Uncount(Entry& entry) {
    if (entry.Counted) {
        entry.Counted = false;
        --fAttemptsNow;
    }
}

void TLookupPool::CheckOverdue(Clock::time_point now) {
    if (!fLevel || now - fLastCheck < kCheckEvery)
        return;
    fLastCheck = now;
    const auto lost = fLevel->OverdueAfter();
    const auto late = fLevel->LateAfter();
    const int before = fLevel->Level();
    const int lostBefore = fLostRunning;
    int lateCount = 0;
    std::vector<LookupLevel::LostLookup> lostNow;
    for (const HostAddress& address : fRunningNow) {
        Entry& entry = fInFlight.find(address)->second;
        // Only an attempt under way at the address's own zone: not a lookup between two
        // attempts (waiting for room), nor one of a name's own addresses.
        if (!entry.InAttempt || entry.Forward || now - entry.AttemptStart <= late ||
            !fAnsweredZones.count(ZoneOf(address)))
            continue;
        ++lateCount;
        if (!entry.OverdueTold && now - entry.AttemptStart > lost) {
            entry.OverdueTold = true;
            entry.ToldAt = now;
            ++fLostRunning;
            Uncount(entry);
            lostNow.push_back({entry.AttemptStart, entry.InFlightAtStart, entry.AttemptsAtStart});
        }
    }
    if (!lostNow.empty()) {
        // When the attempts under way began, and when those of them told lost were told.
        std::vector<Clock::time_point> starts, told;
        for (const HostAddress& address : fRunningNow) {
            const Entry& entry = fInFlight.find(address)->second;
            if (entry.InAttempt) {
                starts.push_back(entry.AttemptStart);
                if (entry.OverdueTold)
                    told.push_back(entry.ToldAt);
            }
        }
        LookupLevel::CountTaken(lostNow, std::move(starts), std::move(told));
        fLevel->Lost(now, lostNow);
    }
    fLevel->Late(now, lateCount, fRunning.load());
    if (fLevel->Level() > before || fLostRunning > lostBefore)
        MoreRoom();
    else if (fLostRunning > 0)
        Staff(); // threads for those lost, once the system gives them again
}

bool TLookupPool::Prefetch(const HostAddress& address, bool verify) {
    if (Recorded(address, verify))
        return false;
    std::lock_guard guard(fLock);
    if (fStopping)
        return true;
    CheckOverdue(Clock::now());
    auto [it, added] = fInFlight.try_emplace(address);
    ++it->second.Interest;
    // A lookup under way keeps what it asks; Await asks for the verdict after it.
    if (!it->second.Running)
        it->second.Verify = it->second.Verify || verify;
    if (added)
        Enqueue(address, false);
    return true;
}

void TLookupPool::Await(const HostAddress& address, const std::function<bool()>& stop,
                        bool verify) {
    std::unique_lock lock(fLock);
    for (;;) {
        auto it = fInFlight.find(address);
        if (it == fInFlight.end()) {
            lock.unlock();
            if (Recorded(address, verify))
                return;
            lock.lock();
            if (fStopping)
                return;
            it = fInFlight.find(address);
            if (it == fInFlight.end()) // done meanwhile, or never asked for
                it = fInFlight.try_emplace(address).first;
        }
        // A lookup under way without the verdict wanted now is waited for, and the verdict
        // asked for after it.
        const bool enough = !verify || !it->second.Running || it->second.Verifying;
        if (!it->second.Running)
            it->second.Verify = it->second.Verify || verify;
        // While it waits, this worker asks for the lookup too, so that it is not dropped.
        ++it->second.Interest;
        it->second.Awaited = true;
        if (!it->second.Running && !it->second.Error)
            Enqueue(address, true); // an older place in the queue is passed over
        for (;;) {
            it = fInFlight.find(address);
            if (it == fInFlight.end() || fStopping)
                break;
            if (it->second.Error) {
                const std::exception_ptr error = it->second.Error;
                if (--it->second.Interest <= 0)
                    fInFlight.erase(it);
                std::rethrow_exception(error);
            }
            if (stop()) {
                if (--it->second.Interest <= 0 && !it->second.Running)
                    fInFlight.erase(it);
                return;
            }
            if (fThreads.empty() && !it->second.Running) {
                Run(lock, address); // no thread could be started: the worker looks it up
                continue;
            }
            fDone.wait_for(lock, std::chrono::milliseconds(20));
            CheckOverdue(Clock::now());
        }
        if (enough || fStopping)
            return; // recorded now, unless the lookup was cut short
    }
}

void TLookupPool::Abandon(const std::vector<HostAddress>& addresses) {
    std::lock_guard guard(fLock);
    for (const HostAddress& address : addresses) {
        auto it = fInFlight.find(address);
        if (it != fInFlight.end() && --it->second.Interest <= 0 && !it->second.Running)
            fInFlight.erase(it);
    }
}

void TLookupPool::Serve() {
    // The thread's resolver keeps its sockets from one lookup to the next, rather than
    // opening, connecting and closing one for each.
    if (res_init() == 0)
        _res.options |= RES_STAYOPEN;
    std::unique_lock lock(fLock);
    for (;;) {
        // Work waits while as many are in flight as the level allows; meanwhile one thread
        // watches the clock (a rise spread out lets more in as it goes, and the lookups in
        // flight are looked over, since none may end for a while). The others sleep until it,
        // or a lookup's end, wakes them.
        while (!fStopping && (fQueue.empty() || !HasRoom())) {
            if (fQueue.empty() || fWatching) {
                fWork.wait(lock);
            } else {
                // A rise spreads its lookups out: then the wait is short.
                const bool rising = fLevel && fLevel->Rising(Clock::now());
                fWatching = true;
                fWork.wait_for(lock, rising ? kRiseStep : kCheckEvery);
                fWatching = false;
                CheckOverdue(Clock::now());
            }
        }
        if (fStopping)
            return;
        const HostAddress address = fQueue.front();
        fQueue.pop_front();
        auto it = fInFlight.find(address);
        if (it == fInFlight.end() || it->second.Running || it->second.Error)
            continue; // dropped, or taken from its other place in the queue
        // Another thread takes the next, or the watch this one may have left.
        if (!fQueue.empty() && (!fWatching || fRunning.load() + 1 - fLostRunning < Allowed()))
            fWork.notify_one();
        --fIdle;
        Run(lock, address);
        ++fIdle;
        if (fLevel) // the level may have grown: more threads, or more of those there are
            Staff();
    }
}

} // namespace hostmoor
