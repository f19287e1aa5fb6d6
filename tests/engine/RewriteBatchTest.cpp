#include "RewriteBatch.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace hostmoor;
namespace fs = std::filesystem;

TEST(OutputFileName, ChangesTheExtensionAfterTheLastSlash) {
    EXPECT_EQ(OutputFileName("/logs/access.log"), "/logs/access.rdns");
    EXPECT_EQ(OutputFileName("/logs.old/access"), "/logs.old/access.rdns");
    EXPECT_EQ(OutputFileName("/logs/report.txt.log"), "/logs/report.txt.rdns");
    EXPECT_EQ(OutputFileName("access"), "access.rdns");
}

TEST(OutputFileName, PutsRdnsBeforeTheSuffixOfACompressedInput) {
    using C = Compression;
    const struct {
        const char* input;
        Compression format;
        const char* output;
    } cases[] = {
        {"/logs/access.log.2.gz", C::Gzip, "/logs/access.log.2.rdns.gz"},
        {"access.log.3.bz2", C::Bzip2, "access.log.3.rdns.bz2"},
        {"/logs.old/access.xz", C::Xz, "/logs.old/access.rdns.xz"},
        {"access.log.4.zst", C::Zstd, "access.log.4.rdns.zst"},
        // The content decides: a name without its format's suffix keeps all it has.
        {"/logs/access.log.2", C::Gzip, "/logs/access.log.2.rdns.gz"},
        {"access.log.2.gz", C::Zstd, "access.log.2.gz.rdns.zst"},
        {"/logs/.gz", C::Gzip, "/logs/.gz.rdns.gz"},
        {"access.log.2.gz", C::None, "access.log.2.rdns"},
        // An output is its own output, as a.rdns is.
        {"access.log.2.rdns.gz", C::Gzip, "access.log.2.rdns.gz"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(OutputFileName(c.input, c.format), c.output) << c.input;
}

class RewriteBatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("hostmoor-batch-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "logs");
        fs::create_directory_symlink(dir / "logs", dir / "link");
        for (const char* name : {"logs/a.log", "logs/a.txt", "logs/b.log", "other.txt"})
            std::ofstream(dir / name) << "x\n";
        fs::create_symlink(dir / "other.txt", dir / "logs/s.rdns");
        fs::create_symlink(dir / "logs/a.log", dir / "logs/alias.log");
        fs::create_directory(dir / "logs/d.rdns");
        ::mkfifo((dir / "logs/p.rdns").c_str(), 0600);
        for (const char* name : {"s", "d", "p"})
            std::ofstream(dir / "logs" / (std::string(name) + ".log")) << "x\n";
        // A link into a folder of another: "inlink/.." is other/, not the folder of inlink.
        fs::create_directories(dir / "other/inner");
        fs::create_directory_symlink(dir / "other/inner", dir / "inlink");
        for (const char* name : {"other/x.log", "other/x.txt", "x.log", "h/b.log"}) {
            fs::create_directories((dir / name).parent_path());
            std::ofstream(dir / name) << "x\n";
        }
        fs::create_hard_link(dir / "h/b.log", dir / "h/a.rdns"); // a.log's output is b.log
        std::ofstream(dir / "h/a.log") << "x\n";
        fs::create_hard_link(dir / "other.txt", dir / "h/c.rdns"); // c.log's, another file
        std::ofstream(dir / "h/c.log") << "x\n";
        for (const char* name : {"j/x.log", "j/x.rdns"}) {
            fs::create_directories((dir / name).parent_path());
            std::ofstream(dir / name) << "x\n";
        }
    }
    void TearDown() override { fs::remove_all(dir); }

    std::vector<Refusal> Plan(const std::vector<std::string>& names,
                              const std::vector<RewriteJob>& running = {}) {
        std::vector<std::string> inputs;
        for (const auto& name : names)
            inputs.push_back((dir / name).string());
        std::vector<Refusal> verdicts;
        for (const BatchEntry& entry : PlanRewriteBatch(inputs, running))
            verdicts.push_back(entry.Verdict);
        return verdicts;
    }

    fs::path dir;
};

// Every spelling of one file is that file; the whole batch is judged before anything starts.
TEST_F(RewriteBatchTest, EverySpellingOfAFileIsOneFile) {
    using R = Refusal;
    struct Case {
        std::vector<std::string> names;
        std::vector<Refusal> verdicts;
    };
    const Case cases[] = {
        {{"logs/a.log", "link/a.txt"}, {R::None, R::SharedOutput}}, // one a.rdns, two spellings
        {{"logs/a.log", "link/../logs/a.txt"}, {R::None, R::SharedOutput}},
        {{"logs/a.log", "link/a.log"}, {R::None, R::NamedTwice}},
        {{"logs/a.log", "logs/alias.log"}, {R::None, R::NamedTwice}},
        {{"logs/a.log", "logs/b.log"}, {R::None, R::None}},
        {{"missing.log", "logs"}, {R::NotAFile, R::NotAFile}},
        {{"logs/s.rdns"}, {R::NamedRdns}},
        {{"logs/s.log", "logs/d.log", "logs/p.log"},
         {R::OutputIsLink, R::OutputNotFile, R::OutputNotFile}},
        {{"inlink/../x.log", "other/x.txt"}, {R::None, R::SharedOutput}},
        {{"x.log", "inlink/../x.log"}, {R::None, R::None}}, // two files
        {{"inlink/../x.log", "other/x.log"}, {R::None, R::NamedTwice}},
        // An output that is another input of the batch, in either order, or another file.
        {{"h/a.log", "h/b.log"}, {R::OutputLinked, R::None}},
        {{"h/b.log", "h/a.log"}, {R::None, R::OutputLinked}},
        {{"j/x.log", "j/x.rdns"}, {R::SharedOutput, R::NamedRdns}},
        {{"j/x.rdns", "j/x.log"}, {R::NamedRdns, R::SharedOutput}},
        {{"h/c.log"}, {R::OutputLinked}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Plan(c.names), c.verdicts) << c.names.front() << " " << c.names.back();
    const RewriteJob running{(dir / "link/b.log").string(), (dir / "link/b.rdns").string()};
    EXPECT_EQ(Plan({"logs/b.log", "logs/a.log"}, {running}),
              (std::vector<Refusal>{R::Running, R::None}));
}

TEST_F(RewriteBatchTest, TheRewritersLastCheckRefusesLinksAndTheInputItself) {
    const std::string a = (dir / "logs/a.log").string();
    EXPECT_EQ(CheckRewriteJob({a, (dir / "logs/a.rdns").string()}), Refusal::None);
    EXPECT_EQ(CheckRewriteJob({a, (dir / "logs/alias.log").string()}), Refusal::OutputIsInput);
    EXPECT_EQ(CheckRewriteJob({a, (dir / "logs/s.rdns").string()}), Refusal::OutputIsLink);
    EXPECT_EQ(CheckRewriteJob({a, (dir / "logs/p.rdns").string()}), Refusal::OutputNotFile);
}
