#include "SettingsStore.h"

#include "LookupPool.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <unistd.h>

namespace hostmoor {

namespace {

QString Key(const QString& section, const QString& name) {
    return section + "/" + name;
}

// Digits of one base and nothing else, within 32 bits.
bool ParseDigits(const QString& digits, int base, std::uint32_t& value) {
    const QByteArray text = digits.toLatin1(); // other characters become '?', not a digit
    const char* end = text.constData() + text.size();
    const auto [stop, error] = std::from_chars(text.constData(), end, value, base);
    return !text.isEmpty() && error == std::errc() && stop == end;
}

QString SystemReason(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Why the store's file cannot be read; empty when nothing is found.
QString ReadFailureReason(const QString& path) {
    const QByteArray file = QFile::encodeName(path);
    return ::access(file.constData(), R_OK) == 0 ? QString() : SystemReason(errno);
}

// Why the store's file cannot be written, found by doing what the store does: make the
// folder, write a new file in it, replace the old. Empty when nothing fails.
QString WriteFailureReason(const QString& path) {
    const QFileInfo info(path);
    if (info.isDir())
        return SystemReason(EISDIR);
    std::error_code error;
    const std::filesystem::path folder(QFile::encodeName(info.absolutePath()).toStdString());
    std::filesystem::create_directories(folder, error);
    if (error)
        return QString::fromLocal8Bit(error.message());
    std::string probe = (folder / ".Hostmoor.XXXXXX").string();
    const int fd = ::mkstemp(probe.data());
    if (fd < 0)
        return SystemReason(errno);
    const bool full = ::write(fd, "probe\n", 6) != 6;
    const int writeError = errno;
    ::close(fd);
    ::unlink(probe.c_str());
    if (full)
        return SystemReason(writeError);
    const QByteArray file = QFile::encodeName(path);
    if (info.exists() && ::access(file.constData(), W_OK) != 0)
        return SystemReason(errno);
    return {};
}

} // namespace

int ConvertStoredNumber(const QString& text, int def) {
    std::uint32_t value = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return ParseDigits(text.mid(2), 16, value) ? static_cast<int>(value) : def;
    qsizetype i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i < text.size() && text[i] == '$') {
        if (!ParseDigits(text.mid(i + 1), 16, value))
            return def;
        return static_cast<int>(negative ? 0u - value : value); // 32 bits, wrapped
    }
    if (!ParseDigits(text.mid(i), 10, value))
        return def;
    const std::int64_t number = negative ? -std::int64_t(value) : std::int64_t(value);
    if (number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max())
        return def;
    return static_cast<int>(number);
}

SettingsStore::SettingsStore() = default;

SettingsStore::SettingsStore(const QString& fileName) : fFileName(fileName) {}

SettingsStore::~SettingsStore() = default;

// Nothing is cached: each operation opens the store afresh and sees what is stored now.
std::unique_ptr<QSettings> SettingsStore::Open() const {
    if (fFileName.isEmpty())
        return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                           "Brightfold", "Hostmoor");
    return std::make_unique<QSettings>(fFileName, QSettings::IniFormat);
}

QString SettingsStore::FileName() const {
    return Open()->fileName();
}

QString SettingsStore::ReadText(const QString& section, const QString& name, const QString& def) {
    const auto settings = Open();
    // A file with a line that cannot be read (FormatError) still gives the rest.
    if (settings->status() == QSettings::AccessError) {
        if (fReadFailed)
            return def;
        fReadFailed = true;
        throw SettingsError(
            QString("Failed to get data for '%1' in %2: %3")
                .arg(name, settings->fileName(), ReadFailureReason(settings->fileName()))
                .toStdString());
    }
    const QString key = Key(section, name);
    if (!settings->contains(key))
        return def;
    const QVariant value = settings->value(key);
    if (value.typeId() != QMetaType::QString && value.typeId() != QMetaType::QByteArray)
        throw SettingsError(QString("Invalid data type for '%1'").arg(name).toStdString());
    QString text = value.toString();
    const qsizetype zero = text.indexOf(QChar(0));
    return zero < 0 ? text : text.left(zero);
}

void SettingsStore::Written(QSettings& settings, const QString& section, const QString& name,
                            bool existed) const {
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return;
    // The first error is the one kept: after a line that could not be read, a failed write
    // does not show, so the folder and the file are tried as the store writes them.
    const QString reason = WriteFailureReason(settings.fileName());
    if (settings.status() != QSettings::AccessError && reason.isEmpty())
        return;
    const QString why = reason.isEmpty() ? QStringLiteral("it cannot be written") : reason;
    if (!existed)
        throw SettingsError(QString("Failed to create key %1 in %2: %3")
                                .arg(section, settings.fileName(), why)
                                .toStdString());
    throw SettingsError(QString("Failed to set data for '%1' in %2: %3")
                            .arg(name, settings.fileName(), why)
                            .toStdString());
}

void SettingsStore::WriteText(const QString& section, const QString& name, const QString& text) {
    if (fSave) {
        if (fSaveName.isEmpty()) {
            fSaveSection = section;
            fSaveName = name;
        }
        fSave->setValue(Key(section, name), text);
        return;
    }
    const auto settings = Open();
    const bool existed = QFileInfo::exists(settings->fileName());
    settings->setValue(Key(section, name), text);
    Written(*settings, section, name, existed);
}

void SettingsStore::BeginSave() {
    fSave = Open();
    fSaveExisted = QFileInfo::exists(fSave->fileName());
    fSaveSection.clear();
    fSaveName.clear();
}

void SettingsStore::EndSave() {
    const auto settings = std::move(fSave);
    if (settings && !fSaveName.isEmpty())
        Written(*settings, fSaveSection, fSaveName, fSaveExisted);
}

int SettingsStore::ReadNumber(const QString& section, const QString& name, int def) {
    const QString missing = QStringLiteral("\x01missing");
    const QString text = ReadText(section, name, missing);
    return text == missing ? def : ConvertStoredNumber(text, def);
}

void SettingsStore::WriteNumber(const QString& section, const QString& name, int number) {
    WriteText(section, name, QString::number(number));
}

bool SettingsStore::ReadSwitch(const QString& section, const QString& name, bool def) {
    return ReadNumber(section, name, def ? 1 : 0) != 0;
}

void SettingsStore::ReadStartupValues() {
    MaxSavedDropDownCount = ReadNumber("General", "MaxSavedDropDownCount", 8);
    // Missing (or not a number): the rewriters find the number themselves.
    const int inFlight = ReadNumber("General", "MaxLookupsInFlight", 0);
    MaxLookupsInFlight = inFlight == 0 ? TLookupPool::kAutomatic : std::clamp(inFlight, 1, 1024);
}

void SettingsStore::WriteSwitch(const QString& section, const QString& name, bool on) {
    WriteText(section, name, on ? "1" : "0");
}

} // namespace hostmoor
