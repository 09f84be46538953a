#include "shell/settingsstore.h"

#include <QSettings>

SettingsStore::SettingsStore()
    : m_settings(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                             QStringLiteral("Harrowmede"), QStringLiteral("Quorvane")))
{
}

SettingsStore::SettingsStore(const QString &iniFile)
    : m_settings(std::make_unique<QSettings>(iniFile, QSettings::IniFormat))
{
}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::read(const QString &key, const QString &defaultValue) const
{
    const QVariant value = m_settings->value(key);
    // A value that is not text (written by hand into the store) reads as its text form.
    return value.isValid() ? value.toString() : defaultValue;
}

void SettingsStore::write(const QString &key, const QString &value)
{
    m_settings->setValue(key, value);
    // Written through at once: the program may be ended by any means at any moment.
    m_settings->sync();
}
