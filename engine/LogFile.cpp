#include "LogFile.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace hostmoor {

namespace {

constexpr std::size_t kBufferSize = 1 << 20;
constexpr char kCtrlZ = 26;
constexpr char kCR = 13;
constexpr char kLF = 10;
// How long a stopped writer waits for the output to take the rest of the line in progress.
constexpr std::chrono::milliseconds kFinishLine{250};

[[noreturn]] void Fail(const char* what, const std::string& path, int error) {
    throw IoError(std::string(what) + " " + path + ": " + std::strerror(error));
}

[[noreturn]] void Refuse(const char* what, const std::string& path, const char* reason) {
    throw IoError(std::string(what) + " " + path + ": " + reason);
}

// Opens without waiting on a pipe or a device, then makes the descriptor blocking again.
int OpenNonBlocking(const std::string& path, int flags, struct stat& st, mode_t mode = 0666) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &st) != 0 || ::fcntl(fd, F_SETFL, flags & O_ACCMODE) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace

std::int64_t FileSizeOf(const std::string& path) {
    struct stat st {};
    const int fd = OpenNonBlocking(path, O_RDONLY, st);
    if (fd < 0)
        Fail("Cannot open", path, errno);
    ::close(fd);
    return static_cast<std::int64_t>(st.st_size);
}

Compression FileCompression(const std::string& path) {
    struct stat st {};
    const int fd = OpenNonBlocking(path, O_RDONLY, st);
    if (fd < 0)
        return Compression::None;
    char start[kLongestMagic];
    const ssize_t n = S_ISREG(st.st_mode) ? ::pread(fd, start, sizeof start, 0) : -1;
    ::close(fd);
    if (n <= 0)
        return Compression::None;
    return DetectCompression({start, static_cast<std::size_t>(n)}, true)
        .value_or(Compression::None);
}

LogReader::LogReader(const std::string& path) : fPath(path), fBuffer(kBufferSize, '\0') {
    struct stat st {};
    fFd = OpenNonBlocking(path, O_RDONLY, st);
    if (fFd < 0)
        Fail("Cannot open", path, errno);
    if (S_ISDIR(st.st_mode) || !S_ISREG(st.st_mode)) {
        ::close(fFd);
        fFd = -1;
        if (S_ISDIR(st.st_mode))
            Fail("Cannot read", path, EISDIR);
        Refuse("Cannot read", path, "it is not a regular file");
    }
    fSizeAtOpen = static_cast<std::int64_t>(st.st_size);
}

LogReader::LogReader(int fd, std::string name)
    : fPath(std::move(name)), fFd(fd), fOwnsFd(false), fBuffer(kBufferSize, '\0') {
    struct stat st {};
    fRegular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (const off_t at = fRegular ? ::lseek(fd, 0, SEEK_CUR) : -1; at == 0)
        fSizeAtOpen = static_cast<std::int64_t>(st.st_size);
}

LogReader::~LogReader() {
    Close();
}

void LogReader::Close() {
    if (fFd >= 0 && fOwnsFd)
        ::close(fFd);
    fFd = -1;
}

void LogReader::CheckRest() {
    if (!fDecoder || fInterrupted)
        return;
    while (Fill()) {
    }
}

long LogReader::ReadRaw(char* into, std::size_t room) {
    if (fReads++ > 0 && fBetweenReads)
        fBetweenReads();
    for (;;) {
        // A pipe or a terminal is waited for a while at a time, so that a stop is seen even
        // where no signal interrupts the wait.
        if (!fRegular && fStop) {
            pollfd input{fFd, POLLIN, 0};
            const int ready = ::poll(&input, 1, 100);
            if (ready == 0 || (ready < 0 && errno == EINTR)) {
                if (fStop()) {
                    fInterrupted = true;
                    return -1;
                }
                continue;
            }
        }
        const ssize_t n = ::read(fFd, into, room);
        if (n < 0 && errno == EINTR) {
            if (fStop && fStop()) {
                fInterrupted = true;
                return -1;
            }
            continue;
        }
        if (n < 0)
            Fail("Cannot read", fPath, errno);
        const std::int64_t read = fRawRead + n;
        if (fSizeAtOpen > 0) {
            // Cut while it is read (a log emptied for rotation): the line being read is not
            // whole. A file system whose files have no true size keeps the size it gave.
            struct stat st {};
            if (::fstat(fFd, &st) == 0 &&
                (st.st_size < read || (n == 0 && st.st_size < fSizeAtOpen)))
                Refuse("Cannot read", fPath, "it became shorter while it was read");
        }
        fRawRead = read;
        if (fDecoder)
            fCompressedRead.store(read);
        return static_cast<long>(n);
    }
}

void LogReader::Detect() {
    fRaw.resize(kBufferSize);
    std::optional<Compression> format;
    while (!(format = DetectCompression({fRaw.data(), fRawEnd}, fRawEof))) {
        const long n = ReadRaw(fRaw.data() + fRawEnd, fRaw.size() - fRawEnd);
        if (n < 0)
            return; // stopped: nothing is known yet
        fRawEnd += static_cast<std::size_t>(n);
        fRawEof = n == 0;
    }
    fDetected = true;
    fFormat = *format;
    if (fFormat != Compression::None) {
        fDecoder = MakeDecoder(fFormat);
        fCompressedRead.store(fRawRead);
    }
}

std::int64_t LogReader::CompressedBytesBehind(std::int64_t decoded) const {
    if (fCompressedRead.load() < 0)
        return -1;
    const std::int64_t given = fDecodedBytes.load(std::memory_order_relaxed);
    const std::int64_t taken = fCompressedDecoded.load(std::memory_order_relaxed);
    if (given <= 0 || decoded >= given)
        return taken;
    return static_cast<std::int64_t>(static_cast<double>(taken) * static_cast<double>(decoded) /
                                     static_cast<double>(given));
}

Compression LogReader::Format() {
    if (!fDetected)
        Detect();
    return fFormat;
}

bool LogReader::Decode() {
    CodecStep step;
    try {
        step = fDecoder->Decode({fRaw.data() + fRawPos, fRawEnd - fRawPos}, fBuffer.data(),
                                fBuffer.size(), fRawEof);
    } catch (const DamagedData& e) {
        throw IoError("Cannot read " + fPath + ": it is damaged (" + e.what() + ")");
    }
    if (step.Read == 0 && step.Written == 0 && fRawPos < fRawEnd)
        throw IoError("Cannot read " + fPath + ": it is damaged (no progress)");
    fRawPos += step.Read;
    fEnd = step.Written;
    fCompressedDecoded.fetch_add(static_cast<std::int64_t>(step.Read), std::memory_order_relaxed);
    fDecodedBytes.fetch_add(static_cast<std::int64_t>(step.Written), std::memory_order_relaxed);
    fEof = step.Written == 0 && fRawEof && fRawPos == fRawEnd;
    return step.Written > 0 || fEof;
}

bool LogReader::Fill() {
    if (fDamage)
        std::rethrow_exception(std::exchange(fDamage, nullptr));
    if (fEof)
        return false;
    if (!fDetected) {
        Detect();
        if (!fDetected)
            return false;
    }
    fConsumed += static_cast<std::int64_t>(fEnd);
    fPos = fEnd = 0;
    if (fDecoder) {
        for (;;) {
            if (Decode())
                return !fEof;
            if (fRawPos == fRawEnd) {
                const long n = ReadRaw(fRaw.data(), fRaw.size());
                if (n < 0)
                    return false;
                fRawPos = 0;
                fRawEnd = static_cast<std::size_t>(n);
                fRawEof = n == 0;
            }
        }
    }
    if (!fRaw.empty()) {
        // Text: the bytes that told the format are the first buffer.
        fBuffer.swap(fRaw);
        std::string().swap(fRaw);
        fEnd = std::exchange(fRawEnd, 0);
        if (fEnd > 0)
            return true;
    }
    const long n = ReadRaw(fBuffer.data(), fBuffer.size());
    if (n < 0)
        return false;
    fEnd = static_cast<std::size_t>(n);
    fEof = n == 0;
    return n > 0;
}

void LogReader::DropLfAfterCr() {
    if (fAfterCr && fPos < fEnd) {
        fAfterCr = false;
        fPos += fBuffer[fPos] == kLF;
    }
}

bool LogReader::LineReady() {
    if (fRegular)
        return true;
    for (int pass = 0; pass < 2; ++pass) {
        DropLfAfterCr();
        if (fPos < fEnd) {
            // The break that ended the last line is looked for first, so that each search
            // stops within the next line.
            const char* begin = fBuffer.data() + fPos;
            const std::size_t size = fEnd - fPos;
            const char first = fLastBreak;
            const char* p = static_cast<const char*>(std::memchr(begin, first, size));
            const std::size_t before = p ? static_cast<std::size_t>(p - begin) : size;
            return p || std::memchr(begin, first == kCR ? kLF : kCR, before) ||
                   std::memchr(begin, kCtrlZ, before);
        }
        if (fEof)
            return true;
        pollfd input{fFd, POLLIN, 0};
        if (fDecoder) {
            // Decoded from what has arrived, without waiting for more.
            if (fRawPos == fRawEnd && !fRawEof) {
                if (::poll(&input, 1, 0) <= 0)
                    return false;
                const long n = ReadRaw(fRaw.data(), fRaw.size());
                if (n < 0)
                    return true; // stopped: nothing to wait for
                fRawPos = 0;
                fRawEnd = static_cast<std::size_t>(n);
                fRawEof = n == 0;
            }
            fConsumed += static_cast<std::int64_t>(fEnd);
            fPos = fEnd = 0;
            try {
                Decode();
            } catch (const IoError&) {
                // Told by the read that follows, after the lines before it are taken.
                fDamage = std::current_exception();
                return true;
            }
            continue;
        }
        if (::poll(&input, 1, 0) <= 0)
            return false;
        if (!Fill())
            return true; // the end: nothing to wait for
    }
    return false;
}

bool LogReader::AtEnd() {
    if (fPos == fEnd && !Fill())
        return true;
    if (fAfterCr) {
        DropLfAfterCr();
        if (fPos == fEnd && !Fill())
            return true;
    }
    return fBuffer[fPos] == kCtrlZ;
}

// The thread of a compressed output: it takes buffers of whole lines, compresses them and writes
// what comes out, at most a few buffers behind the writer (fewer for the slow formats, so that a
// stop is not kept waiting long). When it has nothing to do for a
// moment, and after every kSyncEvery bytes of lines, it flushes the stream: the file then
// decodes to every line taken, and a failed write cuts it back to the last such point. Where
// no thread can be had, the writer's own thread compresses.
class LogWriter::Compressor {
public:
    // `regular`: the output is a regular file, which can be cut back.
    Compressor(Compression format, int fd, std::string path, bool regular,
               std::function<bool()> stop)
        : fEncoder(MakeEncoder(format)),
          fQueued(format == Compression::Xz || format == Compression::Bzip2 ? 2 : 8), fFd(fd),
          fPath(std::move(path)), fRegular(regular), fStop(std::move(stop)) {
        try {
            fThread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            // No thread to spare (a task limit): compressed where the lines are written.
        }
    }

    ~Compressor() {
        {
            std::lock_guard guard(fLock);
            fFinishing = true;
        }
        fChanged.notify_all();
        if (fThread.joinable())
            fThread.join();
    }

    // Hands over the lines; `lines` is given an empty buffer in their place. Raises the error
    // that the thread met.
    void Take(std::string& lines) {
        if (!fThread.joinable()) {
            Raise();
            Compress(lines);
            lines.clear();
            Raise();
            return;
        }
        std::unique_lock lock(fLock);
        Raise();
        if (!fQueue.empty() && fQueue.back().size() + lines.size() <= kBufferSize) {
            fQueue.back() += lines; // a few lines at a time are gathered while they wait
            lines.clear();
            return;
        }
        fChanged.wait(lock, [this] { return fQueue.size() < fQueued || fError; });
        Raise();
        fQueue.push_back(std::move(lines));
        if (fSpare.empty()) {
            lines = std::string();
            lines.reserve(kBufferSize);
        } else {
            lines = std::move(fSpare.back());
            fSpare.pop_back();
        }
        lock.unlock();
        fChanged.notify_all();
    }

    // Ends the stream once every line taken is in it, and waits until it is written.
    void Finish() {
        if (std::exchange(fFinished, true)) {
            Raise();
            return;
        }
        if (fThread.joinable()) {
            {
                std::lock_guard guard(fLock);
                fFinishing = true;
            }
            fChanged.notify_all();
            fThread.join();
        } else if (!fError && !fGaveUp) {
            Guarded([this] {
                fEncoder->Finish(fOut);
                WriteOut();
            });
        }
        Raise();
    }

private:
    static constexpr std::size_t kSpare = 4;
    static constexpr std::size_t kSyncEvery = kBufferSize;
    static constexpr std::size_t kWriteAt = 256 << 10;
    static constexpr std::chrono::milliseconds kIdle{500};

    void Raise() {
        if (fError)
            std::rethrow_exception(fError);
    }

    void Run() {
        sigset_t all; // signals are for the threads that wait on the input and the lookups
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        bool unsynced = false;
        for (;;) {
            std::string lines;
            {
                std::unique_lock lock(fLock);
                auto given = [this] { return !fQueue.empty() || fFinishing; };
                if (unsynced && !fChanged.wait_for(lock, kIdle, given)) {
                    lock.unlock();
                    Guarded([this] { Sync(); });
                    unsynced = false;
                    continue;
                }
                fChanged.wait(lock, given);
                if (fQueue.empty())
                    break;
                lines = std::move(fQueue.front());
                fQueue.pop_front();
            }
            fChanged.notify_all();
            Compress(lines);
            unsynced = !fError && !fGaveUp;
            std::lock_guard guard(fLock);
            if (fSpare.size() < kSpare && lines.capacity() <= 2 * kBufferSize) {
                lines.clear();
                fSpare.push_back(std::move(lines));
            }
        }
        if (!fError && !fGaveUp)
            Guarded([this] {
                fEncoder->Finish(fOut);
                WriteOut();
            });
    }

    void Compress(const std::string& lines) {
        if (fError || fGaveUp)
            return; // what follows an error is let go
        Guarded([&] {
            fEncoder->Encode(lines, fOut);
            fSinceSync += lines.size();
            if (fSinceSync >= kSyncEvery)
                Sync();
            else if (fOut.size() >= kWriteAt)
                WriteOut();
        });
    }

    void Sync() {
        fEncoder->Flush(fOut);
        if (WriteOut())
            fSynced = fWritten;
        fSinceSync = 0;
    }

    // Runs `work`, keeping what it raises for the writer.
    template <typename Work> void Guarded(Work work) {
        try {
            work();
        } catch (const IoError&) {
            Keep(std::current_exception());
        } catch (const std::exception& e) {
            Keep(std::make_exception_ptr(IoError("Cannot write " + fPath + ": " + e.what())));
        }
    }

    void Keep(std::exception_ptr error) {
        std::lock_guard guard(fLock);
        fError = std::move(error);
        fChanged.notify_all();
    }

    // Writes what has been compressed: whether all of it went. A pipe or a terminal takes it a
    // piece at a time while it has room, so that a stop is seen; once one holds and the output
    // has not taken the rest within a moment, nothing more is written.
    bool WriteOut() {
        using Clock = std::chrono::steady_clock;
        std::size_t done = 0;
        std::optional<Clock::time_point> giveUp;
        while (done < fOut.size()) {
            if (!fRegular) {
                pollfd output{fFd, POLLOUT, 0};
                const int ready = ::poll(&output, 1, 100);
                if (ready <= 0) {
                    if (fStop && fStop() && !giveUp)
                        giveUp = Clock::now() + kFinishLine;
                    if (giveUp && Clock::now() > *giveUp) {
                        fGaveUp = true;
                        fOut.clear();
                        return false;
                    }
                    continue;
                }
            }
            const std::size_t piece =
                fRegular ? fOut.size() - done : std::min<std::size_t>(fOut.size() - done, PIPE_BUF);
            const ssize_t n = ::write(fFd, fOut.data() + done, piece);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n < 0) {
                const int error = errno;
                fOut.clear();
                CutBack();
                if (error == EPIPE)
                    throw OutputClosed("Cannot write " + fPath + ": " + std::strerror(error));
                Fail("Cannot write", fPath, error);
            }
            done += static_cast<std::size_t>(n);
            fWritten += n;
        }
        fOut.clear();
        return true;
    }

    // Back to where the stream last held whole lines.
    void CutBack() {
        const off_t end = fRegular ? ::lseek(fFd, 0, SEEK_CUR) : -1;
        if (end >= fWritten - fSynced) [[maybe_unused]]
            const int rc = ::ftruncate(fFd, end - (fWritten - fSynced));
    }

    const std::unique_ptr<Encoder> fEncoder;
    const std::size_t fQueued; // buffers taken and not yet compressed, at most
    const int fFd;
    const std::string fPath;
    const bool fRegular;
    const std::function<bool()> fStop;

    std::mutex fLock;
    std::condition_variable fChanged;
    std::deque<std::string> fQueue;
    std::vector<std::string> fSpare;
    bool fFinishing = false;
    std::exception_ptr fError;
    bool fFinished = false; // the writer's

    // The compressing thread's.
    std::string fOut;
    off_t fWritten = 0;
    off_t fSynced = 0; // bytes written up to the last flush of the stream
    std::size_t fSinceSync = 0;
    bool fGaveUp = false;
    std::thread fThread;
};

LogWriter::LogWriter(const std::string& path, const std::string& inputPath, Compression format)
    : fPath(path), fFormat(format) {
    // Opened without truncating and without following a link at the output's name, so that
    // nothing is lost before the checks. A new output may be read by whom the input may be.
    struct stat in {};
    const bool inputKnown = ::stat(inputPath.c_str(), &in) == 0;
    struct stat out {};
    fFd = OpenNonBlocking(path, O_WRONLY | O_CREAT | O_NOFOLLOW, out,
                          inputKnown ? (in.st_mode & 0666) | S_IWUSR : 0666);
    if (fFd < 0 && errno == ELOOP)
        Refuse("Cannot create", path, "it is a symbolic link");
    if (fFd < 0)
        Fail("Cannot create", path, errno);
    auto refuse = [this](const std::string& reason) {
        ::close(fFd);
        fFd = -1;
        throw IoError("Cannot create " + fPath + ": " + reason);
    };
    if (inputKnown && out.st_dev == in.st_dev && out.st_ino == in.st_ino)
        refuse("it is the input file " + inputPath);
    if (S_ISFIFO(out.st_mode) || S_ISSOCK(out.st_mode))
        refuse("it is not a regular file");
    if (S_ISREG(out.st_mode) && out.st_nlink > 1)
        refuse("it has other names (hard links)");
    fCanCutBack = S_ISREG(out.st_mode);
    if (fCanCutBack && ::ftruncate(fFd, 0) != 0)
        refuse(std::strerror(errno));
    fBuffer.reserve(kBufferSize);
}

LogWriter::LogWriter(int fd, std::string name, Compression format)
    : fPath(std::move(name)), fFd(fd), fOwnsFd(false), fFormat(format) {
    struct stat out {};
    fCanCutBack = ::fstat(fd, &out) == 0 && S_ISREG(out.st_mode);
    fWholeLines = S_ISFIFO(out.st_mode);
    fBuffer.reserve(kBufferSize);
}

LogWriter::~LogWriter() {
    if (fFd < 0)
        return;
    try {
        Flush(); // keep the lines completed before an error elsewhere
        if (fFormat != Compression::None)
            Compressing().Finish();
    } catch (const std::exception&) {
    }
    fCompressor.reset();
    if (fOwnsFd)
        ::close(fFd);
}

LogWriter::Compressor& LogWriter::Compressing() {
    if (!fCompressor)
        fCompressor = std::make_unique<Compressor>(fFormat, fFd, fPath, fCanCutBack, fStop);
    return *fCompressor;
}

void LogWriter::SetLineEnd(std::string_view end) {
    fLineEnd.assign(end.data(), end.size());
}

std::size_t LogWriter::Write(const char* data, std::size_t size, int& error) {
    using Clock = std::chrono::steady_clock;
    std::size_t done = 0;
    while (done < size) {
        if (fStopped) {
            // Only the rest of the line in progress, while the output takes it.
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(fGiveUp - Clock::now());
            pollfd output{fFd, POLLOUT, 0};
            if (left.count() <= 0 || ::poll(&output, 1, static_cast<int>(left.count())) <= 0)
                break;
        }
        const std::size_t piece =
            fStopped ? std::min<std::size_t>(size - done, PIPE_BUF) : size - done;
        const ssize_t n = ::write(fFd, data + done, piece);
        if (n < 0 && errno != EINTR) {
            error = errno;
            break;
        }
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
        // A write cut short by a signal that asks to stop: nothing more but the line begun.
        if (done < size && !fStopped && fStop && fStop()) {
            fStopped = true;
            fGiveUp = Clock::now() + kFinishLine;
            if (done == 0 || data[done - 1] == kLF)
                break;
            if (const void* lf = std::memchr(data + done, kLF, size - done))
                size = static_cast<std::size_t>(static_cast<const char*>(lf) - data) + 1;
        }
    }
    return done;
}

void LogWriter::FailAndCutBack(std::size_t unwanted, int error) {
    if (fCanCutBack && unwanted > 0) {
        // The offset is where the last write ended, also for a file opened to append.
        const off_t end = ::lseek(fFd, 0, SEEK_CUR);
        if (end >= static_cast<off_t>(unwanted)) [[maybe_unused]]
            const int rc = ::ftruncate(fFd, end - static_cast<off_t>(unwanted));
    }
    fBuffer.clear();
    if (error == EPIPE)
        throw OutputClosed("Cannot write " + fPath + ": " + std::strerror(error));
    Fail("Cannot write", fPath, error);
}

void LogWriter::WriteLine(std::string_view line) {
    if (fStopped)
        return;
    if (fBuffer.size() + line.size() + fLineEnd.size() > kBufferSize)
        Flush();
    if (fStopped)
        return;
    if (line.size() < kBufferSize || fFormat != Compression::None) {
        fBuffer.append(line);
        fBuffer.append(fLineEnd);
        return;
    }
    // A long line goes out from where it is, not through a copy.
    int error = 0;
    std::size_t done = Write(line.data(), line.size(), error);
    if (done == line.size())
        done += Write(fLineEnd.data(), fLineEnd.size(), error);
    if (error != 0 && done < line.size() + fLineEnd.size())
        FailAndCutBack(done, error);
}

std::string& LogWriter::Building() {
    fBuilding = fBuffer.size();
    return fBuffer;
}

void LogWriter::LineBuilt() {
    fBuilding = std::string::npos;
    if (fStopped) {
        fBuffer.clear();
        return;
    }
    fBuffer.append(fLineEnd);
    if (fBuffer.size() >= kBufferSize) {
        Flush();
        if (fBuffer.capacity() > 2 * kBufferSize) // after a very long line, memory back
            std::string().swap(fBuffer);
    }
}

void LogWriter::Flush() {
    if (fBuilding != std::string::npos) {
        // Only the lines before the one being built.
        std::string building = fBuffer.substr(fBuilding);
        fBuffer.resize(fBuilding);
        fBuilding = std::string::npos;
        Flush();
        fBuilding = fBuffer.size();
        fBuffer += building;
        return;
    }
    if (fBuffer.empty() || fFd < 0 || fStopped) {
        fBuffer.clear();
        return;
    }
    if (fFormat != Compression::None) {
        Compressing().Take(fBuffer);
        return;
    }
    int error = 0;
    std::size_t done = 0;
    while (done < fBuffer.size()) {
        // A pipe takes whole lines of up to PIPE_BUF bytes whole or not at all, so that a
        // write cut short leaves no line half written there.
        std::size_t end = fBuffer.size();
        if (fWholeLines && end - done > PIPE_BUF) {
            const char* from = fBuffer.data() + done;
            const void* lf = ::memrchr(from, kLF, PIPE_BUF);
            if (!lf) // a longer line goes alone
                lf = std::memchr(from, kLF, fBuffer.size() - done);
            end = static_cast<std::size_t>(static_cast<const char*>(lf) - fBuffer.data()) + 1;
        }
        const std::size_t wrote = Write(fBuffer.data() + done, end - done, error);
        done += wrote;
        if (done < end)
            break;
    }
    if (done < fBuffer.size() && error != 0) {
        // Keep the lines that reached the file whole; every line ends in LF.
        const void* lf = done ? ::memrchr(fBuffer.data(), kLF, done) : nullptr;
        const std::size_t keep = lf ? static_cast<const char*>(lf) - fBuffer.data() + 1 : 0;
        FailAndCutBack(done - keep, error);
    }
    fBuffer.clear();
}

void LogWriter::Close() {
    if (fFd < 0)
        return;
    Flush();
    if (fFormat != Compression::None) {
        Compressing().Finish();
        fCompressor.reset();
    }
    const int fd = fFd;
    fFd = -1;
    if (fOwnsFd && ::close(fd) != 0)
        Fail("Cannot write", fPath, errno);
}

namespace {

// The first CR, LF or Ctrl-Z of [begin, end), or end: sixteen bytes at a time where there are
// sixteen.
const char* LineEnd(const char* begin, const char* end) {
    const char* p = begin;
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8(kCR);
    const __m128i lf = _mm_set1_epi8(kLF);
    const __m128i ctrlZ = _mm_set1_epi8(kCtrlZ);
    for (; end - p >= 16; p += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int found = _mm_movemask_epi8(
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, cr), _mm_cmpeq_epi8(bytes, lf)),
                         _mm_cmpeq_epi8(bytes, ctrlZ)));
        if (found != 0)
            return p + __builtin_ctz(static_cast<unsigned>(found));
    }
#endif
    for (; p < end; ++p)
        if (*p == kCR || *p == kLF || *p == kCtrlZ)
            return p;
    return end;
}

} // namespace

bool ReadLogLineView(LogReader& in, std::string_view& line, std::string& scratch, char& lineBreak,
                     const std::function<bool()>& stop) {
    scratch.clear();
    bool assembled = false; // the line began in an earlier buffer: it is gathered in scratch
    for (;;) {
        if (in.fPos == in.fEnd) {
            if (stop && !scratch.empty() && stop())
                return false;
            if (!in.Fill()) {
                line = scratch;
                return !in.fInterrupted; // the end, or a read given up: the line is torn
            }
        }
        if (in.fAfterCr) {
            in.DropLfAfterCr();
            continue;
        }
        const char* begin = in.fBuffer.data() + in.fPos;
        const char* end = in.fBuffer.data() + in.fEnd;
        const char* p = LineEnd(begin, end);
        in.fPos += static_cast<std::size_t>(p - begin);
        if (p == end) {
            scratch.append(begin, p);
            assembled = true;
            continue;
        }
        if (assembled) {
            scratch.append(begin, p);
            line = scratch;
        } else {
            line = std::string_view(begin, static_cast<std::size_t>(p - begin));
        }
        if (*p == kCtrlZ)
            return true;
        ++in.fPos;
        in.fLastBreak = *p;
        if (lineBreak == 0)
            lineBreak = *p;
        in.fAfterCr = *p == kCR;
        in.DropLfAfterCr();
        return true;
    }
}

bool ReadLogLine(LogReader& in, std::string& line, char& lineBreak,
                 const std::function<bool()>& stop) {
    std::string_view view;
    const bool whole = ReadLogLineView(in, view, line, lineBreak, stop);
    if (view.data() != line.data())
        line.assign(view);
    return whole;
}

} // namespace hostmoor
