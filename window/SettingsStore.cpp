#include "SettingsStore.h"

#include <QFileInfo>
#include <charconv>
#include <cstdint>
#include <limits>

namespace hostmoor {

namespace {

const char kKeyName[] = "Software\\Brightfold\\Hostmoor";

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

SettingsStore::SettingsStore()
    : fSettings(QSettings::NativeFormat, QSettings::UserScope, "Brightfold", "Hostmoor") {}

SettingsStore::SettingsStore(const QString& fileName) : fSettings(fileName, QSettings::IniFormat) {}

QString SettingsStore::ReadText(const QString& section, const QString& name, const QString& def) {
    fSettings.sync(); // nothing cached: see what is stored now
    if (fSettings.status() == QSettings::AccessError)
        throw SettingsError(QString("Failed to get data for '%1'").arg(name).toStdString());
    const QString key = Key(section, name);
    if (!fSettings.contains(key))
        return def;
    const QVariant value = fSettings.value(key);
    if (value.typeId() != QMetaType::QString && value.typeId() != QMetaType::QByteArray)
        throw SettingsError(QString("Invalid data type for '%1'").arg(name).toStdString());
    QString text = value.toString();
    const qsizetype zero = text.indexOf(QChar(0));
    return zero < 0 ? text : text.left(zero);
}

void SettingsStore::WriteText(const QString& section, const QString& name, const QString& text) {
    const bool existed = QFileInfo::exists(fSettings.fileName());
    fSettings.setValue(Key(section, name), text);
    fSettings.sync();
    if (fSettings.status() != QSettings::NoError) {
        if (!existed)
            throw SettingsError(
                QString("Failed to create key %1\\%2").arg(kKeyName, section).toStdString());
        throw SettingsError(QString("Failed to set data for '%1'").arg(name).toStdString());
    }
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

void SettingsStore::ReadMaxSavedDropDownCount() {
    MaxSavedDropDownCount = ReadNumber("General", "MaxSavedDropDownCount", 8);
}

void SettingsStore::WriteSwitch(const QString& section, const QString& name, bool on) {
    WriteText(section, name, on ? "1" : "0");
}

} // namespace hostmoor
