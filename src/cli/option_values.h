// The values of options: numbers in their ranges, and values that a setting stands in for when the option is
// not given. Each says why a value cannot be used, naming the option or the setting.
#pragma once

#include "cli/command.h"
#include "settings/settings_file.h"

#include <QString>
#include <QtGlobal>

class QCommandLineOption;
class QCommandLineParser;

namespace orf {

struct Defaults;

// The value of a numeric option, if it lies in its range: a whole number from low to high, or a number
// above low and at most high. Otherwise says so, naming the range ("--rate 1e9: not a rate in Hz above 0
// and at most 1000000"), and returns false.
bool numberOption(const QCommandLineParser &parser, const QCommandLineOption &option, const char *what,
                  qint64 low, qint64 high, qint64 *value);
bool numberOption(const QCommandLineParser &parser, const QCommandLineOption &option, const char *what,
                  double low, double high, double *value);

// The value of option, or, when it is not given, the text of the setting that stands in for it. A value that
// is not usable is refused, naming the option and the value, or the setting (badSetting).
Ending optionOrSetting(const QCommandLineParser &parser, const QCommandLineOption &option,
                       const Defaults &defaults, SettingsFile::Setting setting,
                       bool (*usable)(const QString &), const QString &why, QString *value);

// Checks of option and setting texts: empty (none) or a multicast group; empty (the system's choice) or a
// network interface of this machine by name or address.
bool isGroupOrEmpty(const QString &text);
bool isInterfaceOrEmpty(const QString &text);

} // namespace orf
