#include "cli/defaults.h"

#include "cli/command.h"
#include "cli/terminal.h"

#include <QCoreApplication>
#include <QStandardPaths>

namespace orf {

Defaults loadDefaults()
{
    SettingsFile::SettingsTexts texts = SettingsFile::defaultTexts();
    const QString configDir =
        QStandardPaths::writableLocation(QStandardPaths::HomeLocation) + "/.NUV/Ostrel_Recorder";
    const QString fallback = QCoreApplication::applicationDirPath() + "/config/current-settings.xml";
    const SettingsFile::LoadResult result =
        SettingsFile::load(SettingsFile::settingsPath(configDir), fallback, texts);
    if (!result.ok() && result.error != SettingsFile::LoadError::NotFound) {
        error(SettingsFile::loadErrorMessage(result).replace('\n', ' ') + " Using the built-in defaults.");
        texts = SettingsFile::defaultTexts();
    }
    Defaults d;
    d.texts = texts;
    if (result.ok())
        d.path = result.path;
    d.values = SettingsFile::workingValues(texts, nullptr);
    return d;
}

int badSetting(const Defaults &defaults, SettingsFile::Setting setting, const QString &why,
               const QString &option)
{
    const QString where = defaults.path.isEmpty() ? QStringLiteral("built-in settings")
                                                  : QStringLiteral("settings file ") + defaults.path;
    error(QStringLiteral("%1: %2 %3=\"%4\": %5; %6 overrides it")
              .arg(where, SettingsFile::elementName(setting), SettingsFile::attributeName(setting),
                   defaults.texts.text(setting), why, option));
    return kUsage;
}

} // namespace orf
