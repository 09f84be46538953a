#include "filelist/walk/namepattern.h"

#include "convert/files/pathhelpers.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>

namespace NamePattern {

namespace {

struct Field
{
    QLatin1String name;          // as the pattern spells it
    QLatin1String key;           // TagLib's property name; empty for {name}
    QLatin1String placeholder;   // for a missing tag; empty: the source's name
    bool number;                 // padded by ":02"
};

const Field kFields[] = {
    {QLatin1String("artist"), QLatin1String("ARTIST"), QLatin1String("Unknown Artist"), false},
    // Falls back to the artist before its placeholder.
    {QLatin1String("albumartist"), QLatin1String("ALBUMARTIST"), QLatin1String("Unknown Artist"), false},
    {QLatin1String("album"), QLatin1String("ALBUM"), QLatin1String("Unknown Album"), false},
    {QLatin1String("title"), QLatin1String("TITLE"), QLatin1String(), false},
    {QLatin1String("track"), QLatin1String("TRACKNUMBER"), QLatin1String("Unknown Track"), true},
    {QLatin1String("disc"), QLatin1String("DISCNUMBER"), QLatin1String("Unknown Disc"), true},
    {QLatin1String("year"), QLatin1String("DATE"), QLatin1String("Unknown Year"), true},
    {QLatin1String("genre"), QLatin1String("GENRE"), QLatin1String("Unknown Genre"), false},
    {QLatin1String("name"), QLatin1String(), QLatin1String(), false},
    // Not tags: LibraryLayout fills them in for each planned file (a whole source is its own
    // one chapter, under its title).
    {QLatin1String("chapter"), QLatin1String("CHAPTER"), QLatin1String("1"), true},
    {QLatin1String("chapters"), QLatin1String("CHAPTERS"), QLatin1String("1"), true},
    {QLatin1String("chaptertitle"), QLatin1String("CHAPTERTITLE"), QLatin1String(), false},
};

// Each folder or file name of the saved path may take 255 bytes (ext4, NTFS); a file name
// keeps room for ".mp3" and a " (99999)" that the saving may add to make it unique.
constexpr qsizetype kNameBytes = 255;
constexpr qsizetype kFileStemBytes = kNameBytes - 4 - 8;

// Literal text, or a field with the digits it is padded to.
struct Part
{
    QString text;
    const Field *field = nullptr;
    int width = 0;
};
using Component = QList<Part>;   // one folder or the file name

// The pattern's folders and file name, empty ones ("a//b", a leading "/") left out; nothing,
// with *problem set, for a pattern that cannot name files.
QList<Component> parse(const QString &pattern, QString *problem)
{
    static const QRegularExpression fieldSpelling(QStringLiteral("^([a-z]+)(?::0([1-9]))?$"));
    const auto unbalanced = [&] {
        *problem = QStringLiteral("unbalanced braces in pattern '%1'").arg(pattern);
        return QList<Component>();
    };
    QList<Component> components;
    for (const QString &spelled : pattern.split(u'/', Qt::SkipEmptyParts)) {
        Component component;
        qsizetype at = 0;
        while (at < spelled.size()) {
            const qsizetype open = spelled.indexOf(u'{', at);
            const qsizetype close = spelled.indexOf(u'}', at);
            if (close >= 0 && (open < 0 || close < open))
                return unbalanced();
            component.append({spelled.mid(at, open < 0 ? -1 : open - at)});
            if (open < 0)
                break;
            const QString inner = spelled.mid(open + 1, close < 0 ? -1 : close - open - 1);
            if (close < 0 || inner.contains(u'{'))
                return unbalanced();
            const QRegularExpressionMatch match = fieldSpelling.match(inner);
            const Field *field = std::find_if(std::begin(kFields), std::end(kFields),
                                              [&](const Field &f) { return f.name == match.captured(1); });
            if (!match.hasMatch() || field == std::end(kFields) || (match.hasCaptured(2) && !field->number)) {
                *problem = QStringLiteral("unknown field '{%1}' in pattern; use {artist}, {albumartist}, {album}, "
                                          "{title}, {track}, {disc}, {year}, {genre}, {name}, {chapter}, "
                                          "{chapters} or {chaptertitle}, and :02 after track, disc, year, chapter "
                                          "or chapters for at least 2 digits")
                               .arg(inner);
                return {};
            }
            component.append({QString(), field, match.captured(2).toInt()});
            at = close + 1;
        }
        components.append(component);
    }
    if (components.isEmpty())
        *problem = QStringLiteral("the pattern is empty");
    return components;
}

// Without the characters that draw nothing or turn the text's direction, by which one name
// can pass for another ("\u202Egpj.mp3" shows as "3pm.jpg"), nor line and paragraph separators.
QString visibleText(QString text)
{
    text.removeIf([](QChar c) {
        const char16_t u = c.unicode();
        return (u >= 0x200b && u <= 0x200f) || (u >= 0x2028 && u <= 0x202e) || (u >= 0x2060 && u <= 0x2064)
               || (u >= 0x2066 && u <= 0x2069) || u == 0xfeff;
    });
    return text;
}

QString valueOf(const Part &part, const Fields &fields, const QString &baseName)
{
    const auto tag = [&fields](QLatin1String key) {
        return visibleText(fields.value(key).join(QStringLiteral(", "))).trimmed();
    };
    if (part.field->key.isEmpty())
        return baseName;
    QString value = tag(part.field->key);
    if (value.isEmpty() && part.field->name == QLatin1String("albumartist"))
        value = tag(QLatin1String("ARTIST"));
    if (value.isEmpty())
        return part.field->placeholder.isEmpty() ? baseName : QString(part.field->placeholder);
    if (!part.field->number)
        return value;
    // A track of "3/12" is 3; a date of "2003-05-01" is the year 2003. A value with no such
    // number ("A1" on a record) is kept as it is. TagLib reads an MPEG-4 track or disc number,
    // which is unsigned, as a signed 16-bit one: track 65535 comes as "-1".
    static const QRegularExpression count(QStringLiteral("^-?\\d+"));
    static const QRegularExpression year(QStringLiteral("\\d{4}"));
    const bool isYear = part.field->key == QLatin1String("DATE");
    const QRegularExpressionMatch match = (isYear ? year : count).match(value);
    if (!match.hasMatch())
        return value;
    QString digits = match.captured();
    if (digits.startsWith(u'-')) {
        const int signed16 = digits.toInt();
        if (signed16 >= 0 || signed16 < -32768)
            return value;
        digits = QString::number(signed16 + 65536);
    }
    while (!isYear && digits.size() > 1 && digits.startsWith(u'0'))
        digits.remove(0, 1);
    return digits.rightJustified(part.width, u'0');
}

// name as a folder or file name that Linux and Windows both take: no character either
// forbids, no control character, no leading dot (nothing hidden, no ".."), no trailing dot or
// space, no device name, and at most maxBytes of UTF-8, cut between two characters. A "~" in
// front becomes "_": a shell reads "~" or "~user" there as a home folder, and a folder walk
// leaves such names out as lock files.
QString safeName(QString name, qsizetype maxBytes)
{
    for (QChar &c : name) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u < 0xa0))
            c = u' ';
        else if (u == u'"')
            c = u'\'';
        else if (u == u'/' || u == u'\\' || u == u'|' || u == u':')
            c = u'-';
        else if (u == u'*' || u == u'?' || u == u'<' || u == u'>')
            c = u'_';
    }
    qsizetype start = 0;
    while (start < name.size() && (name.at(start) == u'.' || name.at(start).isSpace()))
        ++start;
    name.remove(0, start);
    if (name.startsWith(u'~'))
        name[0] = u'_';
    qsizetype bytes = 0;
    qsizetype end = 0;
    while (end < name.size()) {
        const char16_t u = name.at(end).unicode();
        const bool pair = QChar::isHighSurrogate(u) && end + 1 < name.size() && name.at(end + 1).isLowSurrogate();
        bytes += pair ? 4 : u < 0x80 ? 1 : u < 0x800 ? 2 : 3;
        if (bytes > maxBytes)
            break;
        end += pair ? 2 : 1;
    }
    name.truncate(end);
    while (!name.isEmpty() && (name.back() == u'.' || name.back().isSpace()))
        name.chop(1);
    if (name.isEmpty())
        return QStringLiteral("_");
    // Windows opens a device for these names, whatever follows them after a dot.
    static const QRegularExpression device(QStringLiteral("^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])(?= *(\\.|$))"),
                                           QRegularExpression::CaseInsensitiveOption);
    if (const QRegularExpressionMatch match = device.match(name); match.hasMatch())
        name.insert(match.capturedEnd(1), u'_');
    return name;
}

} // namespace

QString problem(const QString &pattern)
{
    QString problem;
    parse(pattern, &problem);
    return problem;
}

QString saveName(const QString &pattern, const Fields &fields, const QString &sourceName)
{
    const QString baseName = visibleText(QFileInfo(sourceName).completeBaseName());
    QString problem;
    const QList<Component> components = parse(pattern, &problem);
    QStringList names;
    for (qsizetype i = 0; i < components.size(); ++i) {
        QString name;
        for (const Part &part : components.at(i))
            name += part.field ? valueOf(part, fields, baseName) : part.text;
        names.append(i + 1 < components.size() ? safeName(name, kNameBytes)
                                                : safeName(name, kFileStemBytes) + QStringLiteral(".mp3"));
    }
    return names.join(u'/');
}

QStringList settle(const QStringList &names, bool skipRepeats)
{
    if (!skipRepeats)
        return Paths::uniqueNames(names);
    QSet<QString> seen;
    QStringList settled;
    settled.reserve(names.size());
    for (const QString &name : names) {
        const qsizetype before = seen.size();
        seen.insert(name.toLower());
        settled.append(seen.size() == before ? QString() : name);
    }
    return settled;
}

} // namespace NamePattern
