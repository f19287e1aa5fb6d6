// The answer store's file on disk: where it lives, and whether it may be trusted. It holds the
// client addresses of the user's logs, so only the user may read it, and only a file and a
// folder that nobody else may write are believed.
#pragma once

#include <string>

namespace hostmoor::store {

// Makes the file's folder (0700, with any missing parents) and the file itself (0600), whatever
// the umask, when they are missing. The folder must belong to the user (or to root) and the
// file to the user, and neither may be writable by anyone else, nor may the file's -wal and
// -shm files; the user's own file, -wal and -shm are made readable by the user alone. False,
// with `problem` set to a sentence that names what was found (its owner and mode) and what to
// do, when the file must not be used; `distrusted` then tells a refusal from a failure.
bool PrepareStoreFile(const std::string& path, std::string& problem, bool& distrusted);

} // namespace hostmoor::store
