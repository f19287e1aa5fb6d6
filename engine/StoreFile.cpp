#include "StoreFile.h"

#include "AnswerStore.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace hostmoor {

std::string DefaultAnswerStorePath() {
    std::string base;
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache && cache[0] == '/') {
        base = cache;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/')
            return {};
        base = std::string(home) + "/.cache";
    }
    return base + "/hostmoor/answers.sqlite";
}

} // namespace hostmoor

namespace hostmoor::store {

namespace {

std::string UserName(uid_t uid) {
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* found = nullptr;
    std::string name;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        name = std::string(found->pw_name) + " ";
    return name + "(uid " + std::to_string(uid) + ")";
}

std::string Mode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// "it belongs to bob (uid 1001) with mode 0664"
std::string Found(const struct stat& st) {
    return "belongs to " + UserName(st.st_uid) + " with mode " + Mode(st.st_mode);
}

// Makes each missing folder of the path 0700, whatever the umask.
bool MakeFolders(const std::filesystem::path& folder, std::string& problem) {
    if (folder.empty())
        return true;
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0)
        return true;
    if (!MakeFolders(folder.parent_path(), problem))
        return false;
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        problem = "its folder " + folder.string() + " cannot be made: " + std::strerror(errno);
        return false;
    }
    ::chmod(folder.c_str(), 0700);
    return true;
}

// Whoever may write a folder above the store's may put another folder in its place: each
// folder above `folder` (those that exist) belongs to the user or root and nobody else may
// write it, but for a folder of root's that only its owners' entries may be changed in (/tmp).
bool TrustedAbove(const std::filesystem::path& folder, std::string& problem) {
    const uid_t me = ::geteuid();
    std::error_code error;
    std::filesystem::path above = std::filesystem::absolute(folder, error);
    struct stat st {};
    while (!error && above.has_relative_path()) {
        above = above.parent_path();
        if (::stat(above.c_str(), &st) != 0)
            continue; // not made yet
        const bool others = st.st_mode & (S_IWGRP | S_IWOTH);
        const bool sharedByRoot = st.st_uid == 0 && (st.st_mode & S_ISVTX); // such as /tmp
        if ((st.st_uid != me && st.st_uid != 0) || (others && !sharedByRoot)) {
            problem = "the folder " + above.string() + " above it " + Found(st) +
                      ", and only a store whose folders all belong to you (or root) and that "
                      "nobody else may write is trusted: " +
                      (st.st_uid == me ? "make it yours alone (chmod go-w " + above.string() + ")"
                                       : std::string("use a store in a folder of your own")) +
                      ", or remove the store";
            return false;
        }
    }
    return true;
}

} // namespace

bool PrepareStoreFile(const std::string& path, std::string& problem, bool& distrusted) {
    distrusted = false;
    const std::filesystem::path file(path);
    const std::filesystem::path folder =
        file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    // Nothing is made under a folder that is not trusted.
    if (!TrustedAbove(folder, problem)) {
        distrusted = true;
        return false;
    }
    if (!MakeFolders(folder, problem))
        return false;
    const uid_t me = ::geteuid();

    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        problem = "its folder " + folder.string() + " cannot be read: " + std::strerror(errno);
        return false;
    }
    if ((st.st_uid != me && st.st_uid != 0) || (st.st_mode & (S_IWGRP | S_IWOTH))) {
        distrusted = true;
        // A folder all may write in, such as /tmp, is not to be closed to them.
        const bool mine = st.st_uid == me && !(st.st_mode & S_ISVTX);
        problem = "its folder " + folder.string() + " " + Found(st) +
                  ", and only a folder of your own (or root's) that nobody else may write is "
                  "trusted: " +
                  (mine ? "make it yours alone (chmod go-w " + folder.string() + ")"
                        : std::string("use a store in a folder of your own")) +
                  ", or remove the store";
        return false;
    }
    // Checked again: a folder above may have changed while the missing ones were made.
    if (!TrustedAbove(folder, problem)) {
        distrusted = true;
        return false;
    }

    // A new file is made here, so that SQLite makes its -wal and -shm files alike.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600);
        ::close(fd);
    } else if (errno != EEXIST) {
        problem = std::strerror(errno);
        return false;
    }
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string name = path + suffix;
        if (::stat(name.c_str(), &st) != 0) {
            if (errno == ENOENT && suffix[0] != '\0')
                continue;
            problem = std::strerror(errno);
            return false;
        }
        if (st.st_uid != me || (st.st_mode & (S_IWGRP | S_IWOTH)) || !S_ISREG(st.st_mode)) {
            distrusted = true;
            problem = (suffix[0] ? "its file " + name + " " : std::string("it ")) + Found(st) +
                      ", and only a file of your own that nobody else may write is trusted: "
                      "remove the store (with its -wal and -shm files) or use another file";
            return false;
        }
        if (st.st_mode & (S_IRWXG | S_IRWXO))
            ::chmod(name.c_str(), 0600);
    }
    return true;
}

} // namespace hostmoor::store
