#pragma once

#include <QString>

#include <memory>

class QSettings;

// The program's remembered choices, every read and write under organisation "Harrowmede" and
// application "Quorvane": on Linux Harrowmede/Quorvane.conf in the user's configuration folder,
// on Windows the registry under HKEY_CURRENT_USER. Each value is written the moment it changes.
class SettingsStore
{
public:
    static inline const QString KeyBitrate = QStringLiteral("kbps");
    static inline const QString KeyOutputFolder = QStringLiteral("Output Folder");
    static inline const QString KeyShowAgain = QStringLiteral("ShowAgain");

    SettingsStore();                                  // the user's real store
    explicit SettingsStore(const QString &iniFile);   // an INI file of the caller's choosing (tests)
    ~SettingsStore();

    // The stored text (empty is a value like any other), or defaultValue for a key never written.
    QString read(const QString &key, const QString &defaultValue) const;
    void write(const QString &key, const QString &value);

private:
    std::unique_ptr<QSettings> m_settings;
};
