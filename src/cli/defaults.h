// The settings the window wrote, as the defaults of orf's options, and what orf says of a setting it cannot
// use.
#pragma once

#include "settings/settings_file.h"

#include <QString>
#include <QtGlobal>

namespace orf {

// The settings the window wrote, or its fallback beside the executable, or the built-in defaults.
struct Defaults
{
    quint16 record_port = 0;
    quint16 port_1 = 0;
    quint16 port_2 = 0;
    bool active = false;
    float frequency = 0;
    bool timestamp = true;
    bool recorded_timing = false; // with timestamp: each frame at its recorded time
    // The texts as found, for what the fields above do not hold, and the file they come from (empty: the
    // built-in defaults).
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
