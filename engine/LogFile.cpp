#include "LogFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hostmoor {

namespace {

constexpr std::size_t kBufferSize = 1 << 20;
constexpr char kCtrlZ = 26;
constexpr char kCR = 13;
constexpr char kLF = 10;

[[noreturn]] void Fail(const char* what, const std::string& path, int error) {
    throw IoError(std::string(what) + " " + path + ": " + std::strerror(error));
}

[[noreturn]] void Refuse(const char* what, const std::string& path, const char* reason) {
    throw IoError(std::string(what) + " " + path + ": " + reason);
}

// Opens without waiting on a pipe or a device, then makes the descriptor blocking again.
int OpenNonBlocking(const std::string& path, int flags, struct stat& st) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
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
}

LogReader::LogReader(int fd, std::string name)
    : fPath(std::move(name)), fFd(fd), fOwnsFd(false), fBuffer(kBufferSize, '\0') {
    struct stat st {};
    fRegular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
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
    for (;;) {
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
        fPos = 0;
        fEnd = static_cast<std::size_t>(n);
        fEof = n == 0;
        return n > 0;
    }
}

bool LogReader::Ready() {
    if (fRegular || fPos < fEnd || fEof)
        return true;
    pollfd input{fFd, POLLIN, 0};
    return ::poll(&input, 1, 0) > 0;
}

bool LogReader::AtEnd() {
    if (fPos == fEnd && !Fill())
        return true;
    return fBuffer[fPos] == kCtrlZ;
}

LogWriter::LogWriter(const std::string& path, const std::string& inputPath) : fPath(path) {
    // Opened without truncating and without following a link at the output's name, so that
    // nothing is lost before the checks.
    struct stat out {};
    fFd = OpenNonBlocking(path, O_WRONLY | O_CREAT | O_NOFOLLOW, out);
    if (fFd < 0 && errno == ELOOP)
        Refuse("Cannot create", path, "it is a symbolic link");
    if (fFd < 0)
        Fail("Cannot create", path, errno);
    auto refuse = [this](const std::string& reason) {
        ::close(fFd);
        fFd = -1;
        throw IoError("Cannot create " + fPath + ": " + reason);
    };
    struct stat in {};
    if (::stat(inputPath.c_str(), &in) == 0 && out.st_dev == in.st_dev && out.st_ino == in.st_ino)
        refuse("it is the input file " + inputPath);
    if (S_ISFIFO(out.st_mode) || S_ISSOCK(out.st_mode))
        refuse("it is not a regular file");
    fCanCutBack = S_ISREG(out.st_mode);
    if (fCanCutBack && ::ftruncate(fFd, 0) != 0)
        refuse(std::strerror(errno));
    fBuffer.reserve(kBufferSize);
}

LogWriter::LogWriter(int fd, std::string name) : fPath(std::move(name)), fFd(fd), fOwnsFd(false) {
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
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fFd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = errno;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void LogWriter::FailAndCutBack(std::size_t keep, int error) {
    fWritten += static_cast<std::int64_t>(keep);
    if (fCanCutBack) [[maybe_unused]]
        const int rc = ::ftruncate(fFd, fWritten);
    fBuffer.clear();
    Fail("Cannot write", fPath, error);
}

void LogWriter::WriteLine(std::string_view line) {
    if (fBuffer.size() + line.size() + fLineEnd.size() > kBufferSize)
        Flush();
    if (line.size() < kBufferSize) {
        fBuffer.append(line);
        fBuffer.append(fLineEnd);
        return;
    }
    // A long line goes out from where it is, not through a copy.
    int error = 0;
    if (Write(line.data(), line.size(), error) < line.size() ||
        Write(fLineEnd.data(), fLineEnd.size(), error) < fLineEnd.size())
        FailAndCutBack(0, error);
    fWritten += static_cast<std::int64_t>(line.size() + fLineEnd.size());
}

void LogWriter::Flush() {
    if (fBuffer.empty() || fFd < 0)
        return;
    int error = 0;
    const std::size_t done = Write(fBuffer.data(), fBuffer.size(), error);
    if (done < fBuffer.size()) {
        // Keep the lines that reached the file whole; every line ends in LF.
        const void* lf = done ? ::memrchr(fBuffer.data(), kLF, done) : nullptr;
        FailAndCutBack(lf ? static_cast<const char*>(lf) - fBuffer.data() + 1 : 0, error);
    }
    fWritten += static_cast<std::int64_t>(done);
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

bool ReadLogLine(LogReader& in, std::string& line, char& lineBreak,
                 const std::function<bool()>& stop) {
    line.clear();
    char last = static_cast<char>(255);
    for (;;) {
        // The line is done before more is read, so that a pipe's line is not held back.
        if (lineBreak != 0 && last == lineBreak)
            return true;
        if (in.fPos == in.fEnd) {
            if (stop && !line.empty() && stop())
                return false;
            if (!in.Fill())
                return !in.fInterrupted; // the end, or a read given up: the line is torn
        }
        const char* begin = in.fBuffer.data() + in.fPos;
        const char* end = in.fBuffer.data() + in.fEnd;
        // The first CR, LF or Ctrl-Z: memchr is vectorised, a byte loop is not. The learned
        // break is looked for first, so that each search stops at the end of this line.
        const char first = lineBreak == kCR ? kCR : kLF;
        const char other = first == kCR ? kLF : kCR;
        const char* p = static_cast<const char*>(std::memchr(begin, first, end - begin));
        if (!p)
            p = end;
        if (const void* o = std::memchr(begin, other, p - begin))
            p = static_cast<const char*>(o);
        if (const void* eof = std::memchr(begin, kCtrlZ, p - begin))
            p = static_cast<const char*>(eof);
        if (p > begin) {
            line.append(begin, p);
            in.fPos += static_cast<std::size_t>(p - begin);
            last = p[-1];
            continue;
        }
        if (*p == kCtrlZ)
            return true;
        ++in.fPos;
        last = *p;
        if (lineBreak == 0)
            lineBreak = *p;
    }
}

} // namespace hostmoor
