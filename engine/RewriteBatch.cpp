#include "RewriteBatch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <sys/stat.h>

namespace hostmoor {

namespace fs = std::filesystem;

namespace {

// The names under which a file may be read or written: its path with the folder's links
// resolved, the path with every link resolved, and its device and inode when it exists.
using Identity = std::set<std::string>;

Identity IdentityOf(const std::string& path) {
    Identity ids;
    std::error_code ec;
    const fs::path p = fs::absolute(fs::path(path), ec).lexically_normal();
    if (!ec) {
        const fs::path folder = fs::weakly_canonical(p.parent_path(), ec);
        ids.insert("path:" + (ec ? p : folder / p.filename()).string());
        const fs::path full = fs::weakly_canonical(p, ec);
        if (!ec)
            ids.insert("path:" + full.string());
    }
    ids.insert("path:" + path);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        ids.insert("inode:" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
    return ids;
}

bool Same(const Identity& a, const Identity& b) {
    return std::any_of(a.begin(), a.end(), [&b](const std::string& id) { return b.count(id); });
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// What stands at the output's name, links not followed: nothing, a file, or something else.
Refusal OutputVerdict(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode))
        return Refusal::None;
    return S_ISLNK(st.st_mode) ? Refusal::OutputIsLink : Refusal::OutputNotFile;
}

struct Identified {
    Identity In;
    Identity Out;
};

} // namespace

std::string OutputFileName(std::string_view input) {
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
    std::vector<Identified> accepted;
    std::vector<BatchEntry> plan;
    for (const std::string& input : inputs) {
        BatchEntry entry{{input, OutputFileName(input)}, Refusal::None};
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
        else if (std::any_of(accepted.begin(), accepted.end(), clash))
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
    case Refusal::OutputIsInput:
        return "its output " + output + " is the file itself";
    case Refusal::NamedTwice:
        return "it is named more than once";
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
