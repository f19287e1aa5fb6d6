#include "EngineText.h"

#include "Subjects.h"

#include <QFile>
#include <QStringList>
#include <dirent.h>
#include <sys/stat.h>

namespace hostmoor {

namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The one entry of the folder whose name is shown as `shown`, if there is exactly one.
std::optional<std::string> EntryShownAs(const std::string& folder, const QString& shown) {
    DIR* dir = ::opendir(folder.empty() ? "/" : folder.c_str());
    if (!dir)
        return std::nullopt;
    std::optional<std::string> match;
    int matches = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (QFile::decodeName(entry->d_name) == shown) {
            match = entry->d_name;
            ++matches;
        }
    }
    ::closedir(dir);
    return matches == 1 ? match : std::nullopt;
}

} // namespace

std::string FileNamesToEngine(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

QString FileNameText(const std::string& name) {
    return QString::fromUtf8(PrintableFileName(name));
}

QString QuotedFileName(const std::string& name) {
    return QString::fromUtf8(QuoteFileName(name));
}

std::optional<std::string> ChosenFileName(const QString& path) {
    const std::string exact = QFile::encodeName(path).toStdString();
    if (Exists(exact) || !path.contains(QChar::ReplacementCharacter) || !path.startsWith('/'))
        return exact;
    // Walk down from the root, finding each part that is not there as shown.
    std::string found;
    for (const QString& part : path.split('/', Qt::SkipEmptyParts)) {
        const std::string next = found + '/' + QFile::encodeName(part).toStdString();
        if (Exists(next)) {
            found = next;
            continue;
        }
        const auto entry = EntryShownAs(found, part);
        if (!entry)
            return std::nullopt;
        found += '/' + *entry;
    }
    return found;
}

} // namespace hostmoor
