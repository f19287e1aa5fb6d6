// Which named files a rewrite batch processes: the output names, and the jobs refused so that
// an output never empties or replaces an input or another job's file.
#pragma once

#include "Compression.h"

#include <string>
#include <string_view>
#include <vector>

namespace hostmoor {

struct RewriteJob {
    std::string InFileName;
    std::string OutFileName;
};

// The output's name. Text: the input's name with the extension after the last '/' replaced by
// ".rdns". Compressed: the input's name with ".rdns" put before the format's suffix
// (access.log.2.gz gives access.log.2.rdns.gz), a name that ends in ".rdns" and the suffix
// being its own output; a name without the suffix gets ".rdns" and the suffix added.
std::string OutputFileName(std::string_view input, Compression format = Compression::None);

enum class Refusal {
    None,
    NotAFile,      // missing, or not a regular file
    NamedRdns,     // the input's own name is its output name
    OutputIsLink,  // the output's name is a symbolic link, which would be written through
    OutputNotFile, // the output's name is a folder, a pipe or a device
    OutputLinked,  // the output has other names (hard links), which would change with it
    OutputIsInput, // the output is the input under another name
    NamedTwice,    // the same file is named earlier in the batch
    SharedOutput,  // the output is a file of another job of the batch
    Running,       // a running job reads or writes the input or the output
};

struct BatchEntry {
    RewriteJob Job;
    Refusal Verdict = Refusal::None;
};

// Decides for every named file, in order, whether it is rewritten, each named by
// OutputFileName for its content's format. Every spelling of one file (links, "..", another
// folder) counts as that file.
std::vector<BatchEntry> PlanRewriteBatch(const std::vector<std::string>& inputs,
                                         const std::vector<RewriteJob>& running = {});

// Why an entry is refused, in a few words for a message that names its file.
std::string RefusalReason(const BatchEntry& entry);

// The rewriter's own last check of a job before it opens anything.
Refusal CheckRewriteJob(const RewriteJob& job);

} // namespace hostmoor
