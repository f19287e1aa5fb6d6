#include "RewriteBatch.h"

#include "LogFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

namespace hostmoor {

namespace fs = std::filesystem;

namespace {

// A file as the system opens it: its device and inode when it exists, otherwise its name in
// its folder, the folder resolved as the kernel resolves it (links first, then "..").
struct Identity {
    std::string Path;
    bool Exists = false;
    dev_t Device = 0;
    ino_t Inode = 0;
};

Identity IdentityOf(const std::string& path) {
    Identity id;
    std::error_code ec;
    fs::path p = fs::absolute(fs::path(path), ec); // not normalised: ".." may follow a link
    if (ec)
        p = path;
    id.Path = p.string();
    if (char* folder = ::realpath(p.parent_path().c_str(), nullptr)) {
        id.Path = (fs::path(folder) / p.filename()).string();
        std::free(folder);
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        id.Exists = true;
        id.Device = st.st_dev;
        id.Inode = st.st_ino;
    }
    return id;
}

bool Same(const Identity& a, const Identity& b) {
    if (a.Exists && b.Exists)
        return a.Device == b.Device && a.Inode == b.Inode;
    return a.Path == b.Path;
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// What stands at the output's name, links not followed: nothing, a file of that one name, or
// something else.
Refusal OutputVerdict(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return Refusal::None;
    if (S_ISREG(st.st_mode))
        return st.st_nlink > 1 ? Refusal::OutputLinked : Refusal::None;
    return S_ISLNK(st.st_mode) ? Refusal::OutputIsLink : Refusal::OutputNotFile;
}

struct Identified {
    Identity In;
    Identity Out;
};

} // namespace

std::string OutputFileName(std::string_view input, Compression format) {
    if (format != Compression::None) {
        const std::string_view suffix = CompressionSuffix(format);
        const std::string_view name = input.substr(input.rfind('/') + 1);
        if (name.size() > suffix.size() && name.ends_with(suffix)) {
            const std::string_view base = input.substr(0, input.size() - suffix.size());
            return std::string(base) + (base.ends_with(".rdns") ? "" : ".rdns") +
                   std::string(suffix);
        }
        return std::string(input) + ".rdns" + std::string(suffix);
    }
    const std::size_t slash = input.rfind('/');
    const std::size_t dot = input.rfind('.');
    if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash))
        return std::string(input.substr(0, dot)) + ".rdns";
    return std::string(input) + ".rdns";
}

std::vector<BatchEntry> PlanRewriteBatch(const std::vector<std::string>& inputs,
                                         const std::vector<RewriteJob>& running) {
    std::vector<Identified> others;
    for (const RewriteJob& job : running)
        others.push_back({IdentityOf(job.InFileName), IdentityOf(job.OutFileName)});
    std::vector<Identity> named; // every input of the batch, whatever becomes of its job
    for (const std::string& input : inputs)
        named.push_back(IdentityOf(input));
    std::vector<Identified> accepted;
    std::vector<BatchEntry> plan;
    for (const std::string& input : inputs) {
        BatchEntry entry{{input, OutputFileName(input, FileCompression(input))}, Refusal::None};
        const Identified ids{IdentityOf(input), IdentityOf(entry.Job.OutFileName)};
        auto clash = [&ids](const Identified& o) {
            return Same(ids.In, o.In) || Same(ids.In, o.Out) || Same(ids.Out, o.In) ||
                   Same(ids.Out, o.Out);
        };
        if (!IsRegularFile(input))
            entry.Verdict = Refusal::NotAFile;
        else if (entry.Job.OutFileName == input)
            entry.Verdict = Refusal::NamedRdns;
        else if (Same(ids.In, ids.Out))
            entry.Verdict = Refusal::OutputIsInput;
        else if (const Refusal output = OutputVerdict(entry.Job.OutFileName);
                 output != Refusal::None)
            entry.Verdict = output;
        else if (std::any_of(accepted.begin(), accepted.end(),
                             [&ids](const Identified& o) { return Same(ids.In, o.In); }))
            entry.Verdict = Refusal::NamedTwice;
        else if (std::any_of(accepted.begin(), accepted.end(), clash) ||
                 std::any_of(named.begin(), named.end(),
                             [&ids](const Identity& in) { return Same(ids.Out, in); }))
            entry.Verdict = Refusal::SharedOutput;
        else if (std::any_of(others.begin(), others.end(), clash))
            entry.Verdict = Refusal::Running;
        if (entry.Verdict == Refusal::None)
            accepted.push_back(ids);
        plan.push_back(std::move(entry));
    }
    return plan;
}

std::string RefusalReason(const BatchEntry& entry) {
    const std::string& output = entry.Job.OutFileName;
    switch (entry.Verdict) {
    case Refusal::None:
        break;
    case Refusal::NotAFile: {
        struct stat st {};
        if (::stat(entry.Job.InFileName.c_str(), &st) != 0)
            return std::strerror(errno);
        return "not a regular file";
    }
    case Refusal::NamedRdns:
        return "its output would have the same name and replace it";
    case Refusal::OutputIsLink:
        return "its output " + output + " is a symbolic link";
    case Refusal::OutputNotFile:
        return "its output " + output + " is not a regular file";
    case Refusal::OutputLinked:
        return "its output " + output + " has other names (hard links), which would change with it";
    case Refusal::OutputIsInput:
        return "its output " + output + " is the file itself";
    case Refusal::NamedTwice:
        return "it is named more than once (by this name or another of the same file)";
    case Refusal::SharedOutput:
        return "its output " + output + " is also a file of another job";
    case Refusal::Running:
        return "a rewrite that is still running uses it or its output " + output;
    }
    return {};
}

Refusal CheckRewriteJob(const RewriteJob& job) {
    if (job.OutFileName == job.InFileName)
        return Refusal::NamedRdns;
    if (Same(IdentityOf(job.InFileName), IdentityOf(job.OutFileName)))
        return Refusal::OutputIsInput;
    return OutputVerdict(job.OutFileName);
}

} // namespace hostmoor
