// The XML settings file without any widget: the table of its elements, the conversions from the stored
// texts to working values, loading with its failure reports and atomic writing. The window and orf keep
// the texts as they stand in the file and derive their working values from them.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <array>
#include <functional>
#include <optional>

namespace SettingsFile {

// Signature of the socket layer's resolver (dotted address or host name, 0 when unresolved), so the window
// can hand over ap_ip_name2ip itself and tests a stub.
using HostResolver = unsigned int (*)(const char *host);

// The settings in the order they are written: the eleven of every file, then those that are written only
// when they differ from their defaults, so the file of a user who never sets them stays as it was.
enum class Setting
{
    RecordPort,
    PlayHost1,
    PlayPort1,
    PlayHost2,
    PlayPort2,
    Active,
    Frequency,
    Loop,
    Timestamp,
    SaveFileDir,
    OpenFileDir,
    RecordGroup,     // empty: unicast on the record port
    RecordInterface, // empty: the system's choice
    PlayTtl,
    PlayInterface,       // empty: the system's route
    RecordedTiming,      // "true": each frame at its recorded time, when timestamps are used; default "false"
    PlayContinueNumbers, // "false": a loop starts its numbers and timestamps again with every pass
};
constexpr int SettingCount = 17;

// The text values as they stand in the file, one per setting.
struct SettingsTexts
{
    std::array<QString, SettingCount> values;

    QString &text(Setting setting) { return values[size_t(setting)]; }
    const QString &text(Setting setting) const { return values[size_t(setting)]; }
};

// The play and record dialogs' own start values ("5000", "localhost", "5001", 4 Hz, loop and timestamps on,
// second destination off, TTL 1, numbers not continued), so a first run without a settings file works; no
// directories.
SettingsTexts defaultTexts();

// The element and attribute that hold a setting in the file.
const char *elementName(Setting setting);
const char *attributeName(Setting setting);

// Text to working value. Numbers follow QString's own parsing: decimal digits with optional surrounding
// white space and an optional leading '+'; anything else, and anything out of range, gives 0.
quint16 portFromText(const QString &text);
bool flagFromText(const QString &text); // true unless exactly "false"
float frequencyFromText(const QString &text);
quint32 hostFromText(const QString &text, HostResolver resolve); // 0 without a resolver
// A group: empty for none (0), else an IPv4 multicast address in dotted form; nothing for other text.
std::optional<quint32> groupFromText(const QString &text);
// A multicast TTL: 0 to 255, parsed as ports are; nothing for other text.
std::optional<int> ttlFromText(const QString &text);

// The working values the texts stand for.
struct WorkingValues
{
    quint16 port_record = 0;
    quint32 ip_play_1 = 0;
    quint16 port_play_1 = 0;
    quint32 ip_play_2 = 0;
    quint16 port_play_2 = 0;
    bool active = false;
    float frequency_play_1 = 0;
    bool loop = true;
    bool timestamp = true;
    int play_ttl = 1; // 1 for an unusable text
    bool recorded_timing = false;
    bool continue_numbers = false;
};
WorkingValues workingValues(const SettingsTexts &texts, HostResolver resolve);

// Loading.
enum class LoadError
{
    None,
    NotFound,   // neither file exists; path is the fallback
    OpenFailed, // path cannot be opened for reading (also: not a regular file)
    ParseError, // not well-formed; line, column and message from the parser
    WrongRoot,  // well-formed but no settings file (other root, or absurdly large or deeply nested)
};
struct LoadResult
{
    LoadError error = LoadError::None;
    QString path;
    int line = 0;
    int column = 0;
    QString message;
    bool ok() const { return error == LoadError::None; }
};

// Files larger than this, or nested deeper, are refused as no settings file: the DOM parser needs
// quadratic time in the nesting depth and memory in proportion to the size.
constexpr qint64 MaxFileSize = 1024 * 1024;
constexpr int MaxNestingDepth = 64;

// Picks the primary file if it exists, else the fallback, parses it and, when the root is right, applies
// its elements to texts in document order (names compared case-sensitively; unknown ones ignored; a
// directory element without its attribute leaves the directory, any other absent attribute gives "").
LoadResult load(const QString &primaryPath, const QString &fallbackPath, SettingsTexts &texts);

// The untranslated message template of a failure, marked for translation in the context
// "Ostrel_recorder" (the window passes it through its tr()), and the message made from a template.
const char *loadErrorTemplate(LoadError error);
QString formatLoadError(const LoadResult &result, const QString &messageTemplate);
QString loadErrorMessage(const LoadResult &result); // untranslated

// Writing.
enum class WriteError
{
    None,
    DirectoryFailed,    // path is the directory that cannot be created
    OpenForWriteFailed, // path is the file that cannot be opened, written or committed
};
struct WriteResult
{
    WriteError error = WriteError::None;
    QString path;
    bool ok() const { return error == WriteError::None; }
};

QString settingsDirectory(const QString &configDir); // configDir + "/config"
QString settingsPath(const QString &configDir);      // configDir + "/config/current-settings.xml"

// The document and its exact bytes: the root alone on the first and last line, one self-closing element
// per setting indented by four spaces, UTF-8, LF line ends, no declaration. Characters XML cannot carry
// (most control characters) are left out so the file always reads back.
QByteArray serialise(const SettingsTexts &texts);

// Creates the directory as needed and replaces the file atomically: the old file stays whole until the
// new one is complete.
WriteResult write(const QString &configDir, const SettingsTexts &texts);

const char *writeErrorTemplate(WriteError error);
QString formatWriteError(const WriteResult &result, const QString &messageTemplate);
QString writeErrorMessage(const WriteResult &result); // untranslated

} // namespace SettingsFile
