#include "RevLookup.h"

#include "DNSCache.h"
#include "Resolver.h"
#include "Subjects.h"
#include "ThreadManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace hostmoor {

std::atomic<std::int64_t> TotalBytes{0};
std::atomic<std::int64_t> ProcessedBytes{1};

namespace {

constexpr std::size_t kBufferSize = 1 << 20;
constexpr char kCtrlZ = 26;
constexpr char kCR = 13;
constexpr char kLF = 10;

[[noreturn]] void Fail(const char* what, const std::string& path, int error) {
    throw IoError(std::string(what) + " " + path + ": " + std::strerror(error));
}

bool IsDigitOrDot(char c) { return (c >= '0' && c <= '9') || c == '.'; }

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
    if (::fstat(fFd, &out) == 0 && ::stat(inputPath.c_str(), &in) == 0 &&
        out.st_dev == in.st_dev && out.st_ino == in.st_ino) {
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

bool IsDottedQuad(std::string_view text) {
    int dots = 0;
    for (char c : text) {
        if (c == '.')
            ++dots;
        else if (c < '0' || c > '9')
            return false;
    }
    return dots == 3;
}

namespace {

// TextToAddress for a dotted quad; the plain form of four decimal parts of 0 to 255 is read
// here, anything else (octal parts, empty parts, large values) by inet_addr.
Address QuadToAddress(std::string_view quad) {
    std::uint32_t bytes[4];
    int part = 0;
    std::uint32_t value = 0;
    std::size_t digits = 0;
    for (std::size_t i = 0; i <= quad.size(); ++i) {
        if (i == quad.size() || quad[i] == '.') {
            if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && quad[i - digits] == '0'))
                return TextToAddress(quad);
            bytes[part++] = value;
            value = 0;
            digits = 0;
        } else {
            value = value * 10 + static_cast<std::uint32_t>(quad[i] - '0');
            ++digits;
        }
    }
    const unsigned char b[4] = {static_cast<unsigned char>(bytes[0]),
                                static_cast<unsigned char>(bytes[1]),
                                static_cast<unsigned char>(bytes[2]),
                                static_cast<unsigned char>(bytes[3])};
    Address address;
    std::memcpy(&address, b, 4);
    return address;
}

} // namespace

FoundAddress FindAddressInLine(std::string_view line, std::size_t from) {
    std::size_t pos = from;
    while (pos < line.size()) {
        const std::size_t dot = line.find('.', pos);
        if (dot == std::string_view::npos)
            break;
        std::size_t left = dot;
        while (left > pos && IsDigitOrDot(line[left - 1]))
            --left;
        std::size_t right = dot + 1;
        while (right < line.size() && IsDigitOrDot(line[right]))
            ++right;
        std::size_t first = left;
        std::size_t last = right;
        while (first < last && line[first] == '.')
            ++first;
        while (last > first && line[last - 1] == '.')
            --last;
        const std::string_view candidate = line.substr(first, last - first);
        if (IsDottedQuad(candidate)) {
            const Address address = QuadToAddress(candidate);
            if (!IgnoreList || !IgnoreList->Ignore(address))
                return {candidate, first, right, address};
        }
        pos = right + 1;
    }
    return {};
}

std::string ReverseLookupCached(std::string_view addressText) {
    return ReverseLookupCached(TextToAddress(addressText));
}

std::string ReverseLookupCached(Address address) {
    if (DNSCache) {
        if (auto name = DNSCache->FindAddr(address))
            return *name;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (ApplicationTerminating())
            return {};
        LookupOutcome outcome = LookupHostByAddress(address);
        if (outcome.Host) {
            std::string name = outcome.Host->Name.substr(0, kMaxCachedName);
            if (DNSCache)
                DNSCache->Add(name, address);
            return name;
        }
    }
    if (IgnoreList)
        IgnoreList->Add("", address);
    return {};
}

void SubstituteAddresses(std::string& line, const TWorker* worker) {
    std::size_t from = 0;
    while (!(worker ? worker->ShouldStop() : ApplicationTerminating())) {
        const FoundAddress found = FindAddressInLine(line, from);
        if (found.Text.empty())
            return;
        const std::string name = ReverseLookupCached(found.Address);
        if (name.empty()) {
            // Unresolvable (now ignored) or cached with an empty name: pass over it.
            from = found.RunEnd + 1;
            continue;
        }
        line.replace(found.Position, found.Text.size(), name);
        from = found.Position + name.size();
    }
}

TRevLookup::TRevLookup(std::string inFileName, std::string outFileName)
    : InFileName(std::move(inFileName)), OutFileName(std::move(outFileName)) {
    if (ThreadManager)
        ThreadManager->AddThread(this);
}

void TRevLookup::Execute() {
    FreeOnTerminate = true;
    TotalBytes.fetch_add(FileSizeOf(InFileName));
    LogReader in(InFileName);
    LogWriter out(OutFileName, InFileName);
    std::int64_t lines = 0;
    std::int64_t pending = 0;
    std::string line;
    while (!ShouldStop() && !in.AtEnd()) {
        ReadLogLine(in, line, LineBreak);
        pending += static_cast<std::int64_t>(line.size());
        if (++lines % 10 == 0) {
            ProcessedBytes.fetch_add(pending);
            pending = 0;
        }
        SubstituteAddresses(line, this);
        out.WriteLine(line);
    }
    out.Close();
    in.Close();
}

} // namespace hostmoor
