#include "Compression.h"

#include "LogFile.h"
#include "RevLookup.h"
#include "TestSupport.h"
#include "ThreadManager.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace hostmoor;
using namespace hostmoor::test;
namespace fs = std::filesystem;

namespace {

constexpr Compression kFormats[] = {Compression::Gzip, Compression::Bzip2, Compression::Xz,
                                    Compression::Zstd};

std::string Compress(Compression format, const std::string& text) {
    std::string out;
    const auto encoder = MakeEncoder(format);
    encoder->Encode(text, out);
    encoder->Finish(out);
    return out;
}

// The decoded bytes up to the end, or to where the data are damaged or cut short (`error`).
std::string Decompress(Compression format, const std::string& data, std::string* error = nullptr) {
    const auto decoder = MakeDecoder(format);
    std::string out;
    char buffer[4096];
    std::string_view in = data;
    try {
        for (;;) {
            const CodecStep step = decoder->Decode(in, buffer, sizeof buffer, true);
            in.remove_prefix(step.Read);
            out.append(buffer, step.Written);
            if (step.Written == 0 && in.empty())
                return out;
        }
    } catch (const DamagedData& e) {
        if (error)
            *error = e.what();
        else
            ADD_FAILURE() << e.what();
    }
    return out;
}

std::string Lines(int from, int to) {
    std::string text;
    for (int i = from; i < to; ++i)
        text += "1.2.3.4 line " + std::to_string(i) + "\n";
    return text;
}

// The rewrite of whole lines of Lines().
std::string Rewritten(const std::string& lines) {
    std::string out;
    for (std::size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1)
        out += "n4.example" + lines.substr(at + 7, end - at - 7) + "\r\n";
    return out;
}

class CompressedRewriteTest : public FileFixture {
protected:
    void SetUp() override {
        FileFixture::SetUp();
        resolver.Answer("1.2.3.4", ScriptedResolver::Record("n4.example", {"1.2.3.4"}));
        engine.TotalBytes = 0;
        engine.ProcessedBytes = 1;
    }
};

} // namespace

TEST(DetectCompression, KnowsEachFormatByItsFirstBytesAndTextAsText) {
    using C = Compression;
    const std::string xz("\xfd"
                         "7zXZ\0",
                         6);
    const struct {
        std::string start;
        bool whole;
        std::optional<Compression> format;
    } cases[] = {
        {"\x1f\x8b\x08", false, C::Gzip},
        {"BZh91AY&SY", false, C::Bzip2},
        {"BZh9\x17rE8P\x90", false, C::Bzip2}, // an empty stream
        {xz, false, C::Xz},
        {"\x28\xb5\x2f\xfd\x04", false, C::Zstd},
        {"192.0.2.1 - -", false, C::None},
        {"BZh91 is a word", false, C::None},
        {"(\xb5 text", false, C::None},
        {"", true, C::None},
        {"BZh9", true, C::None}, // too short to be anything else
        // Still a possible beginning: more bytes are awaited.
        {"", false, std::nullopt},
        {"\x1f", false, std::nullopt},
        {"BZh91A", false, std::nullopt},
        {xz.substr(0, 5), false, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DetectCompression(c.start, c.whole), c.format) << c.start;
}

// Every format through the writer and back through the reader: lines across many buffers, a
// line longer than a buffer, the streams of two files one after the other.
TEST_F(CompressedRewriteTest, EachFormatRoundTripsThroughTheWriterAndTheReader) {
    std::vector<std::string> lines;
    for (int i = 0; i < 30000; ++i)
        lines.push_back("1.2.3." + std::to_string(i % 256) + " line " + std::to_string(i * 7919));
    lines.push_back(std::string(3 << 20, 'x'));
    lines.push_back("last");
    for (const Compression format : kFormats) {
        SCOPED_TRACE(std::string(CompressionName(format)));
        const fs::path file = dir / "out";
        for (int part = 0; part < 2; ++part) {
            LogWriter out((dir / "part").string(), {}, format);
            out.SetLineEnd("\n");
            for (std::size_t i = part; i < lines.size(); i += 2)
                out.WriteLine(lines[i]);
            out.Close();
            WriteFile(file, (part ? ReadFile(file) : "") + ReadFile(dir / "part"));
        }
        EXPECT_EQ(FileCompression(file.string()), format);
        LogReader in(file.string());
        std::vector<std::string> read;
        std::string line;
        char lineBreak = 0;
        while (!in.AtEnd() && ReadLogLine(in, line, lineBreak))
            read.push_back(line);
        std::vector<std::string> expected;
        for (int part = 0; part < 2; ++part)
            for (std::size_t i = part; i < lines.size(); i += 2)
                expected.push_back(lines[i]);
        EXPECT_TRUE(read == expected) << read.size() << " lines of " << expected.size();
    }
}

// Two streams one after the other are read whole; a damaged second stream or data cut short
// fail the job with a message that names the file, and the output, compressed and ended as it
// should be, holds every whole line before the damage, never the line it cut through.
TEST_F(CompressedRewriteTest, DamagedAndTruncatedInputsKeepTheWholeLinesBefore) {
    const std::string first = Lines(0, 300) + "1.2.3.4 line cut ";
    const std::string second = "by the damage\n" + Lines(300, 600);
    for (const Compression format : kFormats) {
        const std::string a = Compress(format, first);
        const std::string b = Compress(format, second);
        std::string damaged = b;
        damaged[0] ^= 0x55;
        const struct {
            const char* name;
            std::string data;
        } cases[] = {
            {"two streams", a + b},
            {"second stream damaged", a + damaged},
            {"cut short", a + b.substr(0, b.size() / 2)},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(CompressionName(format)) + ": " + c.name);
            const fs::path in = dir / ("access.log.2" + std::string(CompressionSuffix(format)));
            const fs::path out = dir / "access.log.2.rdns";
            WriteFile(in, c.data);
            const std::string error = Process(in, out);
            const std::string written = ReadFile(out);
            EXPECT_EQ(DetectCompression(written, true), format);
            const std::string text = Decompress(format, written);
            if (c.data == a + b) {
                EXPECT_EQ(error, "");
                EXPECT_EQ(text, Rewritten(first + second));
                continue;
            }
            EXPECT_NE(error.find("Cannot read " + in.string() + ": it is damaged"),
                      std::string::npos)
                << error;
            if (c.data == a + damaged) {
                EXPECT_EQ(text, Rewritten(first));
            }
            EXPECT_EQ(Rewritten(first + second).rfind(text, 0), 0u) << "not a prefix";
            EXPECT_GE(text.size(), Rewritten(first).size());
            EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
        }
    }
}

// Zero bytes after the last gzip member are padding, as gzip takes them; data after them is not.
TEST_F(CompressedRewriteTest, ZeroBytesAfterGzipDataArePadding) {
    const std::string a = Compress(Compression::Gzip, Lines(0, 10));
    const fs::path in = dir / "a.log.gz";
    WriteFile(in, a + std::string(1000, '\0'));
    EXPECT_EQ(Process(in, dir / "a.rdns.gz"), "");
    EXPECT_EQ(Decompress(Compression::Gzip, ReadFile(dir / "a.rdns.gz")), Rewritten(Lines(0, 10)));
    WriteFile(in, a + std::string(1000, '\0') + a);
    EXPECT_NE(Process(in, dir / "a.rdns.gz").find("it is damaged"), std::string::npos);
}

// A Ctrl-Z ends the text, but not the check of a compressed input: damage after it is found.
TEST_F(CompressedRewriteTest, DamageAfterACtrlZIsFound) {
    std::string data = Compress(Compression::Gzip, Lines(0, 10) + "\x1a" + Lines(10, 20));
    const fs::path in = dir / "a.log.gz";
    WriteFile(in, data);
    EXPECT_EQ(Process(in, dir / "a.rdns.gz"), "");
    data[data.size() - 8] ^= 1; // the member's check
    WriteFile(in, data);
    EXPECT_NE(Process(in, dir / "a.rdns.gz").find("it is damaged"), std::string::npos);
    EXPECT_EQ(Decompress(Compression::Gzip, ReadFile(dir / "a.rdns.gz")), Rewritten(Lines(0, 10)));
}

// From a pipe the look-ahead asks whether a line is ready, which decodes what has arrived: a
// second member cut short after its header, met there while lines wait in the window for their
// lookups, fails the rewrite only after those lines are written.
TEST_F(CompressedRewriteTest, DataCutShortInAPipeKeepTheLinesLookedAhead) {
    std::string lines;
    for (int i = 0; i < 2000; ++i) // addresses without a name, each looked up
        lines += "10.9." + std::to_string(i / 256) + "." + std::to_string(i % 256) + " line\n";
    const std::string data = Compress(Compression::Gzip, lines) +
                             Compress(Compression::Gzip, "10.9.99.99 never read\n").substr(0, 10);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ::close(fds[1]);
    engine.LookupPool.SetLimit(8);
    engine.ReadLines = EngineRuntime::LineReading::SameThread;
    std::string error;
    {
        LogReader in(fds[0], "pipe");
        LogWriter out((dir / "p.rdns").string(), (dir / "p.log").string());
        char lineBreak = 0;
        try {
            RewriteLog(engine, in, out, lineBreak, [] { return false; });
        } catch (const IoError& e) {
            error = e.what();
        }
        out.Close();
    }
    ::close(fds[0]);
    EXPECT_EQ(error, "Cannot read pipe: it is damaged (gzip data cut short)");
    std::string expected = lines;
    for (std::size_t at = 0; (at = expected.find('\n', at)) != std::string::npos; at += 2)
        expected.insert(at, 1, '\r');
    const std::string written = ReadFile(dir / "p.rdns");
    EXPECT_TRUE(written == expected) << written.size() << " bytes of " << expected.size();
}

// The bar runs from 0 to 100 over a compressed file: both counters are its compressed bytes.
TEST_F(CompressedRewriteTest, ProgressFollowsTheCompressedBytes) {
    WriteFile(dir / "a.log.gz", Compress(Compression::Gzip, Lines(0, 20000)));
    EXPECT_EQ(Process(dir / "a.log.gz", dir / "a.log.rdns.gz"), "");
    EXPECT_EQ(engine.TotalBytes.load(), static_cast<std::int64_t>(fs::file_size(dir / "a.log.gz")));
    EXPECT_EQ(engine.ProcessedBytes.load(), 1 + engine.TotalBytes.load());
}

// ... and follows the lines rewritten, not the reading that runs ahead of them.
TEST_F(CompressedRewriteTest, ProgressStaysWithTheLinesRewritten) {
    std::string half;
    for (int i = 0; i < 20000; ++i)
        half += "line " + std::to_string(i) + "\n";
    WriteFile(dir / "a.log.gz", Compress(Compression::Gzip, half + "10.20.30.40 waits\n" + half));
    resolver.CloseGate();
    auto* w = new TRevLookup(engine, (dir / "a.log.gz").string(), (dir / "a.rdns.gz").string());
    w->OnTerminate = engine.ThreadManager.DoneHandler();
    w->Start();
    ASSERT_TRUE(
        WaitUntil([&] { return resolver.Blocked() > 0 && engine.LinesWritten.load() >= 20000; }));
    const double done = static_cast<double>(engine.ProcessedBytes.load()) /
                        static_cast<double>(engine.TotalBytes.load());
    EXPECT_GT(done, 0.3);
    EXPECT_LT(done, 0.7);
    engine.ThreadManager.StopAll();
    ASSERT_TRUE(WaitForRegistryEmpty());
    resolver.OpenGate();
}

TEST_F(CompressedRewriteTest, CompletedLinesReachTheDiskBeforeALookupThatMayNotReturn) {
    std::string lines;
    std::string expected;
    for (int i = 0; i < 5000; ++i) {
        lines += "line " + std::to_string(i) + "\n";
        expected += "line " + std::to_string(i) + "\r\n";
    }
    WriteFile(dir / "a.log.zst", Compress(Compression::Zstd, lines + "10.20.30.40 waits\n"));
    resolver.CloseGate();
    auto* w = new TRevLookup(engine, (dir / "a.log.zst").string(), (dir / "a.rdns.zst").string());
    w->OnTerminate = engine.ThreadManager.DoneHandler();
    w->Start();
    // The stream, not ended yet, decodes to every completed line while the lookup waits.
    std::string error;
    ASSERT_TRUE(WaitUntil([&] {
        return Decompress(Compression::Zstd, ReadFile(dir / "a.rdns.zst"), &error) == expected;
    }));
    EXPECT_EQ(error, "zstd data cut short");
    EXPECT_GT(resolver.Blocked(), 0);
    engine.ThreadManager.StopAll();
    ASSERT_TRUE(WaitForRegistryEmpty());
    resolver.OpenGate();
    EXPECT_EQ(Decompress(Compression::Zstd, ReadFile(dir / "a.rdns.zst")),
              expected + "10.20.30.40 waits\r\n");
}

TEST_F(CompressedRewriteTest, AFullDiskCutsTheOutputBackToWholeLines) {
    // A file system of 1 MiB of our own, in the test environment's private mount namespace.
    if (!InTestDns())
        GTEST_SKIP() << TestDnsSkipReason();
    fs::create_directories(dir / "small");
    ASSERT_EQ(::mount("tmpfs", (dir / "small").c_str(), "tmpfs", 0, "size=1m"), 0);
    std::string log;
    std::uint64_t x = 88172645463325252u;
    for (int i = 0; log.size() < (6u << 20); ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17; // a line that hardly compresses
        log += "1.2.3.4 line " + std::to_string(i) + " " + std::to_string(x) + "\n";
    }
    WriteFile(dir / "big.log.gz", Compress(Compression::Gzip, log));
    const std::string error = Process(dir / "big.log.gz", dir / "small/big.rdns.gz");
    std::string cut;
    const std::string text =
        Decompress(Compression::Gzip, ReadFile(dir / "small/big.rdns.gz"), &cut);
    ::umount((dir / "small").c_str());
    EXPECT_NE(
        error.find("Cannot write " + (dir / "small/big.rdns.gz").string() + ": No space left"),
        std::string::npos)
        << error;
    EXPECT_EQ(cut, "gzip data cut short");
    ASSERT_GT(text.size(), 512u << 10);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_EQ(Rewritten(log).rfind(text, 0), 0u) << "not a prefix";
}
