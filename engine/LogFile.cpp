#include "LogFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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

} // namespace

std::int64_t FileSizeOf(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        Fail("Cannot open", path, errno);
    struct stat st {};
    const int rc = ::fstat(fd, &st);
    const int error = errno;
    ::close(fd);
    if (rc != 0)
        Fail("Cannot measure", path, error);
    return static_cast<std::int64_t>(st.st_size);
}

LogReader::LogReader(const std::string& path) : fPath(path), fBuffer(kBufferSize, '\0') {
    fFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fFd < 0)
        Fail("Cannot open", path, errno);
}

LogReader::~LogReader() {
    if (fFd >= 0)
        ::close(fFd);
}

void LogReader::Close() {
    if (fFd >= 0)
        ::close(fFd);
    fFd = -1;
}

bool LogReader::Fill() {
    if (fEof)
        return false;
    for (;;) {
        const ssize_t n = ::read(fFd, fBuffer.data(), fBuffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            Fail("Cannot read", fPath, errno);
        fPos = 0;
        fEnd = static_cast<std::size_t>(n);
        fEof = n == 0;
        return n > 0;
    }
}

bool LogReader::AtEnd() {
    if (fPos == fEnd && !Fill())
        return true;
    return fBuffer[fPos] == kCtrlZ;
}

LogWriter::LogWriter(const std::string& path, const std::string& inputPath) : fPath(path) {
    // Opened without truncating, so that an output that is the input by another name is
    // refused before a byte of it is lost.
    fFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fFd < 0)
        Fail("Cannot create", path, errno);
    struct stat out {};
    struct stat in {};
    if (::fstat(fFd, &out) == 0 && ::stat(inputPath.c_str(), &in) == 0 && out.st_dev == in.st_dev &&
        out.st_ino == in.st_ino) {
        ::close(fFd);
        fFd = -1;
        throw IoError("Cannot create " + path + ": it is the input file " + inputPath);
    }
    if (S_ISREG(out.st_mode) && ::ftruncate(fFd, 0) != 0) {
        const int error = errno;
        ::close(fFd);
        fFd = -1;
        Fail("Cannot create", path, error);
    }
    fBuffer.reserve(kBufferSize + 4096);
}

LogWriter::~LogWriter() {
    if (fFd < 0)
        return;
    try {
        Flush(); // keep the lines completed before an error elsewhere
    } catch (const IoError&) {
    }
    ::close(fFd);
}

void LogWriter::WriteLine(std::string_view line) {
    fBuffer.append(line);
    fBuffer.append("\r\n", 2);
    if (fBuffer.size() >= kBufferSize)
        Flush();
}

void LogWriter::Flush() {
    std::size_t done = 0;
    while (done < fBuffer.size()) {
        const ssize_t n = ::write(fFd, fBuffer.data() + done, fBuffer.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fBuffer.clear();
            Fail("Cannot write", fPath, errno);
        }
        done += static_cast<std::size_t>(n);
    }
    fBuffer.clear();
}

void LogWriter::Close() {
    if (fFd < 0)
        return;
    Flush();
    const int fd = fFd;
    fFd = -1;
    if (::close(fd) != 0)
        Fail("Cannot write", fPath, errno);
}

void ReadLogLine(LogReader& in, std::string& line, char& lineBreak) {
    line.clear();
    char last = static_cast<char>(255);
    for (;;) {
        if (in.fPos == in.fEnd && !in.Fill())
            return;
        if (lineBreak != 0 && last == lineBreak)
            return;
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
            return;
        ++in.fPos;
        last = *p;
        if (lineBreak == 0)
            lineBreak = *p;
    }
}

} // namespace hostmoor
