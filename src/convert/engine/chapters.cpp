#include "convert/engine/chapters.h"

#include "convert/engine/taglibfile.h"
#include "convert/engine/toolcommands.h"

#include "convert/engine/processrunner.h"
#include "convert/engine/verdicts.h"

#include <QFile>

#include <taglib/chapterframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/tableofcontentsframe.h>
#include <taglib/textidentificationframe.h>

#include <algorithm>
#include <cmath>
#include <string>

namespace Chapters {

// ffmpeg's metadata format: ";FFMETADATA1", then "key=value" lines, global ones first, then
// under "[CHAPTER]" (or "[STREAM]") headers; lines that start with ';' or '#' are comments.
// A backslash takes the next character as it is: "\=", "\;", "\#", "\\", and a backslash
// before a line's end keeps that newline in the value. A chapter's START and END count in
// its TIMEBASE ("1/1000"); ffmpeg's own reader takes nanoseconds without one.
QList<SourceChapter> readFile(const QString &ffmetadataPath)
{
    QFile file(ffmetadataPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return parse(file.readAll());
}

QList<SourceChapter> parse(const QByteArray &text)
{
    struct Counted { SourceChapter chapter; qint64 start = 0, end = 0, num = 1, den = 1000000000; };
    QList<Counted> counted;
    bool inChapter = false;
    QByteArray key, value;
    bool inValue = false;
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? text.at(i) : '\n';
        if (c == '\\' && i + 1 < text.size()) {
            (inValue ? value : key).append(text.at(++i));
        } else if (c == '=' && !inValue) {
            inValue = true;
        } else if (c != '\n') {
            (inValue ? value : key).append(c);
        } else {
            const QByteArray line = text.mid(lineStart, i - lineStart).trimmed();
            lineStart = i + 1;
            if (line.startsWith('[')) {
                inChapter = line == "[CHAPTER]";
                if (inChapter)
                    counted.append(Counted());
            } else if (inChapter && inValue && !line.startsWith(';') && !line.startsWith('#')) {
                Counted &last = counted.last();
                const QByteArray name = key.trimmed().toUpper();
                if (name == "TIMEBASE" && value.contains('/')) {
                    last.num = value.left(value.indexOf('/')).toLongLong();
                    last.den = value.mid(value.indexOf('/') + 1).toLongLong();
                } else if (name == "START" || name == "END") {
                    (name == "START" ? last.start : last.end) = value.trimmed().toLongLong();
                } else if (name == "TITLE") {
                    last.chapter.title = QString::fromUtf8(value);
                }
            }
            key.clear();
            value.clear();
            inValue = false;
        }
    }
    QList<SourceChapter> chapters;
    for (Counted &each : counted) {
        if (each.num <= 0 || each.den <= 0)
            continue;   // a time base no chapter can be placed by
        const double msPerTick = 1000.0 * double(each.num) / double(each.den);
        each.chapter.startMs = std::llround(double(each.start) * msPerTick);
        each.chapter.endMs = std::llround(double(each.end) * msPerTick);
        chapters.append(each.chapter);
    }
    std::stable_sort(chapters.begin(), chapters.end(),
                     [](const SourceChapter &a, const SourceChapter &b) { return a.startMs < b.startMs; });
    return chapters;
}

QList<SourceChapter> parseListing(const QByteArray &listing, QString *problem)
{
    if (!listing.startsWith(";FFMETADATA1")) {
        *problem = QStringLiteral("the decoder's chapter list is not in its metadata format");
        return {};
    }
    problem->clear();
    return parse(listing);
}

// CHAP frames "chp0", "chp1"... in the chapters' order, each with its title as a TIT2 (players
// show the frame's own name for a chapter without one: "Chapter N" instead), and ordered CTOCs
// that list them in that order. A CTOC counts its entries in one byte: one top-level CTOC lists
// up to 255 chapters; more go 255 at a time into CTOCs under it (the chapter addendum's nested
// tables), and those likewise under another level for as long as the top one would list more
// than 255, so that a reader walking down from the top finds every chapter once, in order.
// An ID3v2 time is 32-bit milliseconds.
void addFrames(const QList<SourceChapter> &chapters, TagLib::ID3v2::Tag &tag)
{
    if (chapters.isEmpty())
        return;
    constexpr qint64 kMaxMs = 0xFFFFFFFF;
    constexpr unsigned kNoOffset = 0xFFFFFFFF;   // ID3v2's "times only, no byte offsets"
    constexpr qsizetype kMaxEntries = 255;
    const auto orderedTable = [&tag](const TagLib::ByteVector &id, bool topLevel) {
        auto *toc = new TagLib::ID3v2::TableOfContentsFrame(id);
        toc->setIsTopLevel(topLevel);
        toc->setIsOrdered(true);
        tag.addFrame(toc);
        return toc;
    };
    QList<TagLib::ByteVector> entries;   // what the next table up lists
    for (qsizetype i = 0; i < chapters.size(); ++i) {
        const SourceChapter &chapter = chapters.at(i);
        const TagLib::ByteVector id(("chp" + std::to_string(i)).c_str());
        const auto startMs = unsigned(qBound<qint64>(0, chapter.startMs, kMaxMs));
        const auto endMs = unsigned(qBound<qint64>(startMs, chapter.endMs, kMaxMs));
        auto *frame = new TagLib::ID3v2::ChapterFrame(id, startMs, endMs, kNoOffset, kNoOffset);
        auto *title = new TagLib::ID3v2::TextIdentificationFrame("TIT2", TagLib::String::Latin1);
        title->setText(TagLibFile::toTagLib(chapter.title.isEmpty() ? QStringLiteral("Chapter %1").arg(i + 1) : chapter.title));
        frame->addEmbeddedFrame(title);
        tag.addFrame(frame);
        entries.append(id);
    }
    int tables = 0;
    while (entries.size() > kMaxEntries) {
        QList<TagLib::ByteVector> level;
        for (qsizetype first = 0; first < entries.size(); first += kMaxEntries) {
            const TagLib::ByteVector id(("toc" + std::to_string(tables++)).c_str());
            auto *toc = orderedTable(id, false);
            for (const TagLib::ByteVector &entry : entries.mid(first, kMaxEntries))
                toc->addChildElement(entry);
            level.append(id);
        }
        entries = level;
    }
    auto *top = orderedTable("toc", true);
    for (const TagLib::ByteVector &entry : std::as_const(entries))
        top->addChildElement(entry);
}

} // namespace Chapters

ChapterLister::ChapterLister(const QString &decoder, int stallTimeoutSeconds, int jobs, QObject *parent)
    : QObject(parent)
    , m_decoder(decoder)
    , m_stallTimeoutSeconds(stallTimeoutSeconds)
    , m_jobs(qMax(1, jobs))
{
}

void ChapterLister::list(const QStringList &sources)
{
    m_waiting = sources;
    m_waiting.removeDuplicates();
    startMore();
}

void ChapterLister::cancel()
{
    m_waiting.clear();
    for (ProcessRunner *runner : m_running.keys())
        runner->cancel();
}

void ChapterLister::startMore()
{
    while (m_running.size() < m_jobs && !m_waiting.isEmpty()) {
        const QString source = m_waiting.takeFirst();
        auto *runner = new ProcessRunner(this);
        runner->setStallTimeout(m_stallTimeoutSeconds);
        m_running.insert(runner, {});
        connect(runner, &ProcessRunner::standardOutputRead, this,
                [this, runner](const QByteArray &bytes) { m_running[runner] += bytes; });
        connect(runner, &ProcessRunner::finished, this,
                [this, runner, source](const ProcessOutcome &outcome) { onListed(runner, source, outcome); });
        runner->start(m_decoder, Tools::chapterListArguments(source), ProcessRunner::Output::Read);
    }
    if (m_running.isEmpty())
        QMetaObject::invokeMethod(this, &ChapterLister::finished, Qt::QueuedConnection);
}

void ChapterLister::onListed(ProcessRunner *runner, const QString &source, const ProcessOutcome &outcome)
{
    const QByteArray listing = m_running.take(runner);
    runner->deleteLater();
    ChapterList &list = m_lists[source];
    list.problem = Verdicts::runFailure(QStringLiteral("decoder"), outcome);
    if (list.problem.isEmpty())
        list.chapters = Chapters::parseListing(listing, &list.problem);
    startMore();
}
