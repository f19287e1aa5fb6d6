// The per-user settings store: sections of text values, read and written one at a time, or
// saved together.
#pragma once

#include <QSettings>
#include <QString>
#include <memory>
#include <stdexcept>

namespace hostmoor {

// A failure of the store itself; its text is one of the four error texts, with the store's
// file and the system's reason where there is one.
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
    ~SettingsStore();

    // A store that cannot be read raises its error once; later reads give their defaults. A
    // file with lines that cannot be read gives what it can.
    QString ReadText(const QString& section, const QString& name, const QString& def);
    void WriteText(const QString& section, const QString& name, const QString& text);
    int ReadNumber(const QString& section, const QString& name, int def);
    void WriteNumber(const QString& section, const QString& name, int number);
    bool ReadSwitch(const QString& section, const QString& name, bool def);
    void WriteSwitch(const QString& section, const QString& name, bool on);

    // The writes between these two reach the store together, at EndSave, which raises the
    // error of a failure once.
    void BeginSave();
    void EndSave();

    QString FileName() const;

    // Read once at start-up, never written: the length to which a box's history is cut, and
    // the rewriters' lookups in flight (1 to 1024; TLookupPool::kAutomatic when not set).
    int MaxSavedDropDownCount = 8;
    int MaxLookupsInFlight = -1;
    void ReadStartupValues();

private:
    std::unique_ptr<QSettings> Open() const;
    void Written(QSettings& settings, const QString& section, const QString& name,
                 bool existed) const;

    const QString fFileName; // empty: the native store
    bool fReadFailed = false;
    std::unique_ptr<QSettings> fSave;
    QString fSaveSection;
    QString fSaveName;
    bool fSaveExisted = false;
};

// Stored number text to a number: '0x' hex, '$' hex, sign, leading blanks; def otherwise.
int ConvertStoredNumber(const QString& text, int def);

} // namespace hostmoor
