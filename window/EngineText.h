// Text crossing between the window's QStrings and the engine's 8-bit strings.
#pragma once

#include <QString>
#include <optional>
#include <string>

namespace hostmoor {

// Lookup subjects and messages, in the locale's encoding.
inline QString FromEngine(const std::string& text) {
    return QString::fromLocal8Bit(text);
}
inline std::string ToEngine(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

// The rewrite page's text to the engine: file names in the system's file-name encoding.
std::string FileNamesToEngine(const QString& text);
// A file name for a message, exact: bytes that are no text appear as \xHH.
QString FileNameText(const std::string& name);
// A file name as the rewrite page's text holds it, quoted and escaped where it must be.
QString QuotedFileName(const std::string& name);

// The bytes of a file chosen in the file dialog. A name whose bytes are not valid text is
// shown there (and given back) with replacement characters; it is found again by listing its
// folder. Nothing when no file, or more than one, answers to the name as shown.
std::optional<std::string> ChosenFileName(const QString& path);

} // namespace hostmoor
