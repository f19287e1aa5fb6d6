// The per-user settings store: sections of text values, read and written one at a time.
#pragma once

#include <QSettings>
#include <QString>
#include <stdexcept>

namespace hostmoor {

// A failure of the store itself; its text is one of the four error texts.
class SettingsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class SettingsStore {
public:
    // Organisation "Brightfold", application "Hostmoor", user scope, native format.
    SettingsStore();
    // For tests: a store on a given file.
    explicit SettingsStore(const QString& fileName);

    QString ReadText(const QString& section, const QString& name, const QString& def);
    void WriteText(const QString& section, const QString& name, const QString& text);
    int ReadNumber(const QString& section, const QString& name, int def);
    void WriteNumber(const QString& section, const QString& name, int number);
    bool ReadSwitch(const QString& section, const QString& name, bool def);
    void WriteSwitch(const QString& section, const QString& name, bool on);

    QString FileName() const { return fSettings.fileName(); }

    // The length to which a box's history is cut; read once at start-up, never written.
    int MaxSavedDropDownCount = 8;
    void ReadMaxSavedDropDownCount();

private:
    QSettings fSettings;
};

// Stored number text to a number: '0x' hex, '$' hex, sign, leading blanks; def otherwise.
int ConvertStoredNumber(const QString& text, int def);

} // namespace hostmoor
