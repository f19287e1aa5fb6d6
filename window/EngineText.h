// Text crossing between the window's QStrings and the engine's 8-bit strings, in the locale's
// encoding.
#pragma once

#include <QString>
#include <string>

namespace hostmoor {

inline QString FromEngine(const std::string& text) {
    return QString::fromLocal8Bit(text);
}
inline std::string ToEngine(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

} // namespace hostmoor
