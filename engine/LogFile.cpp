#include "LogFile.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
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

bool LogReader::Fill() {
    if (fEof)
        return false;
    if (!fFirstRead && fBetweenReads)
        fBetweenReads();
    fFirstRead = false;
    for (;;) {
        // A pipe or a terminal is waited for a while at a time, so that a stop is seen even
        // where no signal interrupts the wait.
        if (!fRegular && fStop) {
            pollfd input{fFd, POLLIN, 0};
            const int ready = ::poll(&input, 1, 100);
            if (ready == 0 || (ready < 0 && errno == EINTR)) {
                if (fStop()) {
                    fInterrupted = true;
                    return false;
                }
                continue;
            }
        }
        const ssize_t n = ::read(fFd, fBuffer.data(), fBuffer.size());
        if (n < 0 && errno == EINTR) {
            if (fStop && fStop()) {
                fInterrupted = true;
                return false;
            }
            continue;
        }
        if (n < 0)
            Fail("Cannot read", fPath, errno);
        fConsumed += static_cast<std::int64_t>(fEnd);
        if (fSizeAtOpen > 0) {
            // Cut while it is read (a log emptied for rotation): the line being read is not
            // whole. A file system whose files have no true size keeps the size it gave.
            struct stat st {};
            const std::int64_t read = fConsumed + n;
            if (::fstat(fFd, &st) == 0 &&
                (st.st_size < read || (n == 0 && st.st_size < fSizeAtOpen)))
                Refuse("Cannot read", fPath, "it became shorter while it was read");
        }
        fPos = 0;
        fEnd = static_cast<std::size_t>(n);
        fEof = n == 0;
        return n > 0;
    }
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

LogWriter::LogWriter(const std::string& path, const std::string& inputPath) : fPath(path) {
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

LogWriter::LogWriter(int fd, std::string name) : fPath(std::move(name)), fFd(fd), fOwnsFd(false) {
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
    } catch (const IoError&) {
    }
    if (fOwnsFd)
        ::close(fFd);
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
    if (line.size() < kBufferSize) {
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
