#include "cli/option_values.h"

#include "ap/ap_socket.h"
#include "cli/defaults.h"
#include "cli/terminal.h"

#include <QCommandLineParser>

namespace orf {

namespace {

bool outOfRange(const QCommandLineOption &option, const QString &text, const char *what, const QString &range)
{
    error(QStringLiteral("--%1 %2: not %3 %4")
              .arg(option.names().constLast(), text, QLatin1String(what), range));
    return false;
}

} // namespace

bool numberOption(const QCommandLineParser &parser, const QCommandLineOption &option, const char *what,
                  qint64 low, qint64 high, qint64 *value)
{
    const QString text = parser.value(option);
    bool ok = false;
    *value = text.toLongLong(&ok);
    return (ok && *value >= low && *value <= high) ||
           outOfRange(option, text, what, QStringLiteral("from %1 to %2").arg(low).arg(high));
}

bool numberOption(const QCommandLineParser &parser, const QCommandLineOption &option, const char *what,
                  double low, double high, double *value)
{
    const QString text = parser.value(option);
    bool ok = false;
    *value = text.toDouble(&ok);
    // Written so that NaN fails too.
    return (ok && *value > low && *value <= high) ||
           outOfRange(option, text, what,
                      QStringLiteral("above %1 and at most %2").arg(low, 0, 'g', 15).arg(high, 0, 'g', 15));
}

Ending optionOrSetting(const QCommandLineParser &parser, const QCommandLineOption &option,
                       const Defaults &defaults, SettingsFile::Setting setting,
                       bool (*usable)(const QString &), const QString &why, QString *value)
{
    const bool given = parser.isSet(option);
    *value = given ? parser.value(option) : defaults.texts.text(setting);
    if (usable(*value))
        return {};
    const QString name = "--" + option.names().constFirst();
    if (!given)
        return badSetting(defaults, setting, why, name);
    error(QStringLiteral("%1 %2: %3").arg(name, *value, why));
    return kUsage;
}

bool isGroupOrEmpty(const QString &text)
{
    return SettingsFile::groupFromText(text).has_value();
}

bool isInterfaceOrEmpty(const QString &text)
{
    return text.isEmpty() || ap_ip_interface(text.toLocal8Bit().constData(), nullptr, nullptr) == 0;
}

} // namespace orf
