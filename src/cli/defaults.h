// The settings the window wrote, as the defaults of orf's options, and what orf says of a setting it cannot
// use.
#pragma once

#include "settings/settings_file.h"

#include <QString>

namespace orf {

// The settings the window wrote, or its fallback beside the executable, or the built-in defaults.
struct Defaults
{
    // What the texts stand for; the hosts are resolved only when played, so their addresses are 0 here.
    SettingsFile::WorkingValues values;
    // The texts as found, and the file they come from (empty: the built-in defaults).
    SettingsFile::SettingsTexts texts = SettingsFile::defaultTexts();
    QString path;
};

// Reads them; a settings file that cannot be read is said, and the built-in defaults are used.
Defaults loadDefaults();

// A setting that is about to stand in for an option but cannot be used: says why, naming the settings file,
// the element, the value and the option that overrides it. Returns kUsage.
int badSetting(const Defaults &defaults, SettingsFile::Setting setting, const QString &why,
               const QString &option);

} // namespace orf
