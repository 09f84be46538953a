#include "convert/tagcopy.h"

#include "convert/files/pathhelpers.h"
#include "convert/toolcommands.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>

#include <taglib/attachedpictureframe.h>
#include <taglib/chapterframe.h>
#include <taglib/commentsframe.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/fileref.h>
#include <taglib/id3v1genres.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tableofcontentsframe.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tfilestream.h>
#include <taglib/tpropertymap.h>
#include <taglib/unsynchronizedlyricsframe.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr int kFrontCover = TagLib::ID3v2::AttachedPictureFrame::FrontCover;

// The file name in the form TagLib takes on this platform; it must outlive TagLib's use of it.
#ifdef Q_OS_WIN
std::wstring tagLibName(const QString &path) { return Paths::systemPath(path).toStdWString(); }
#else
std::string tagLibName(const QString &path) { return QFile::encodeName(path).toStdString(); }
#endif

#ifdef Q_OS_WIN
// By name: TagLib reads no descriptor on Windows, where no name in a folder leads to a FIFO.
std::unique_ptr<TagLib::FileStream> openRegularFile(const std::wstring &name)
{
    return std::make_unique<TagLib::FileStream>(name.c_str(), true);
}
#else
// A stream on a descriptor that still answers to its file name, by whose extension TagLib
// tells the format.
class DescriptorStream : public TagLib::FileStream
{
public:
    DescriptorStream(int fd, const std::string &name)
        : TagLib::FileStream(fd, true)   // which closes fd
        , m_name(name)
    {
    }
    TagLib::FileName name() const override { return m_name.c_str(); }

private:
    const std::string &m_name;
};

// Opens name for reading only when it is a regular file: opened by name, as TagLib would, a FIFO
// waits for a writer that may never come, and nothing could end that wait. Our own open() then,
// without waiting, and the descriptor looked at before anything is read.
std::unique_ptr<TagLib::FileStream> openRegularFile(const std::string &name)
{
    const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat info;
    // (A regular file ignores O_NONBLOCK; cleared all the same for TagLib, which reads as if waiting.)
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)
        || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<DescriptorStream>(fd, name);
}
#endif

// A source as TagLib reads it: read-only, so that a source the user may not change is read all
// the same. A null ref when it cannot be opened, is not a regular file or TagLib knows no such
// format.
struct ReadOnlyFile
{
    explicit ReadOnlyFile(const QString &path, bool audio = true)
        : name(tagLibName(path))
        , stream(openRegularFile(name))
        , ref(stream && stream->isOpen() ? TagLib::FileRef(stream.get(), audio, TagLib::AudioProperties::Fast)
                                         : TagLib::FileRef())
    {
    }
    const decltype(tagLibName(QString())) name;   // outlives the stream, which reads through it
    const std::unique_ptr<TagLib::FileStream> stream;
    TagLib::FileRef ref;
};

QString toQString(const TagLib::String &text)
{
    return QString::fromStdString(text.to8Bit(true));
}

TagLib::String toTagLib(const QString &text)
{
    return TagLib::String(text.toStdString(), TagLib::String::UTF8);
}

QByteArray toQByteArray(const TagLib::ByteVector &data)
{
    return QByteArray(data.data(), qsizetype(data.size()));
}

// For covers whose container does not say what they are.
QString sniffedMimeType(const QByteArray &data)
{
    if (data.startsWith("\xFF\xD8\xFF"))
        return QStringLiteral("image/jpeg");
    if (data.startsWith("\x89PNG"))
        return QStringLiteral("image/png");
    if (data.startsWith("GIF8"))
        return QStringLiteral("image/gif");
    if (data.startsWith("BM"))
        return QStringLiteral("image/bmp");
    return QStringLiteral("image/");   // ID3v2's own word for "an image of some kind"
}

void addPicture(SourceTags &tags, const QByteArray &data, QString mimeType, int type,
                const QString &description)
{
    if (data.isEmpty())
        return;   // an empty cover atom: nothing to show
    if (mimeType.isEmpty())
        mimeType = sniffedMimeType(data);
    tags.pictures.append({data, mimeType, type, description});
}

void readMp4(TagLib::MP4::File &file, SourceTags &tags)
{
    if (const auto *properties = file.audioProperties(); properties && properties->lengthInMilliseconds() > 0)
        tags.firstAudioTrackMs = properties->lengthInMilliseconds();
    const TagLib::MP4::Tag *tag = file.tag();
    if (!tag)
        return;
    // TagLib's property map leaves out ReplayGain, which iTunes-style tags keep as free-form
    // items.
    const TagLib::String freeForm = "----:com.apple.iTunes:";
    for (const auto &[key, item] : tag->itemMap()) {
        if (key.startsWith(freeForm)) {
            const QString name = toQString(key.substr(freeForm.size())).toUpper();
            if (name.startsWith(QStringLiteral("REPLAYGAIN_")) && !item.toStringList().isEmpty())
                tags.fields.insert(name, {toQString(item.toStringList().front())});
        }
    }
    if (!tag->contains("covr"))
        return;
    for (const TagLib::MP4::CoverArt &cover : tag->item("covr").toCoverArtList()) {
        QString mimeType;
        switch (cover.format()) {
        case TagLib::MP4::CoverArt::JPEG: mimeType = QStringLiteral("image/jpeg"); break;
        case TagLib::MP4::CoverArt::PNG: mimeType = QStringLiteral("image/png"); break;
        case TagLib::MP4::CoverArt::GIF: mimeType = QStringLiteral("image/gif"); break;
        case TagLib::MP4::CoverArt::BMP: mimeType = QStringLiteral("image/bmp"); break;
        default: break;
        }
        addPicture(tags, toQByteArray(cover.data()), mimeType, TagLib::ID3v2::AttachedPictureFrame::Other,
                   QString());
    }
}

void readFlacPictures(const TagLib::List<TagLib::FLAC::Picture *> &pictures, SourceTags &tags)
{
    for (const TagLib::FLAC::Picture *picture : pictures)
        addPicture(tags, toQByteArray(picture->data()), toQString(picture->mimeType()), picture->type(),
                   toQString(picture->description()));
}

void readId3v2Pictures(const TagLib::ID3v2::Tag *tag, SourceTags &tags)
{
    for (const TagLib::ID3v2::Frame *frame : tag ? tag->frameList("APIC") : TagLib::ID3v2::FrameList()) {
        if (const auto *picture = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame *>(frame))
            addPicture(tags, toQByteArray(picture->picture()), toQString(picture->mimeType()), picture->type(),
                       toQString(picture->description()));
    }
}

void readPictures(TagLib::File *file, SourceTags &tags)
{
    if (auto *flac = dynamic_cast<TagLib::FLAC::File *>(file))
        readFlacPictures(flac->pictureList(), tags);
    else if (auto *ogg = dynamic_cast<TagLib::Ogg::XiphComment *>(file->tag()))
        readFlacPictures(ogg->pictureList(), tags);
    else if (auto *mpeg = dynamic_cast<TagLib::MPEG::File *>(file))
        readId3v2Pictures(mpeg->ID3v2Tag(), tags);
    else if (auto *wav = dynamic_cast<TagLib::RIFF::WAV::File *>(file))
        readId3v2Pictures(wav->ID3v2Tag(), tags);
    else
        readId3v2Pictures(dynamic_cast<TagLib::ID3v2::Tag *>(file->tag()), tags);   // AIFF
}

// The source's fields as an ID3v2.3 tag should hold them.
TagLib::PropertyMap fieldsForId3v23(const SourceTags &tags)
{
    TagLib::PropertyMap map;
    for (auto it = tags.fields.cbegin(); it != tags.fields.cend(); ++it) {
        TagLib::StringList values;
        for (const QString &value : it.value())
            values.append(toTagLib(value));
        map.insert(toTagLib(it.key()), values);
    }
    // Vorbis comments (FLAC, Ogg) often keep the comment as DESCRIPTION, which would become a
    // TXXX frame that players do not show.
    if (map.contains("DESCRIPTION") && !map.contains("COMMENT")) {
        map.insert("COMMENT", map["DESCRIPTION"]);
        map.erase("DESCRIPTION");
    }
    return map;
}

// TagLib's frames as players look for them.
void tidyFrames(TagLib::ID3v2::Tag &tag)
{
    // TXXX names in the case MusicBrainz Picard writes and reads them; TagLib writes capitals.
    static const char *const musicBrainzNames[] = {
        "MusicBrainz Album Id", "MusicBrainz Artist Id", "MusicBrainz Album Artist Id",
        "MusicBrainz Release Group Id", "MusicBrainz Release Track Id", "MusicBrainz Work Id",
        "MusicBrainz Album Release Country", "MusicBrainz Album Status", "MusicBrainz Album Type",
        "Acoustid Id", "Acoustid Fingerprint"};
    // TagLib writes the grouping into iTunes' GRP1; ID3v2.3 defines TIT1 for it, and that is
    // where other players look.
    if (tag.frameList("TIT1").isEmpty()) {
        for (TagLib::ID3v2::Frame *grouping : TagLib::ID3v2::FrameList(tag.frameList("GRP1"))) {
            auto *frame = new TagLib::ID3v2::TextIdentificationFrame("TIT1");
            frame->setText(grouping->toString());
            tag.addFrame(frame);
            tag.removeFrame(grouping);
        }
    }
    // Latin-1 where the text allows it, as older players expect; TagLib writes UTF-16
    // instead when a frame's text needs it.
    const auto latin1English = [](auto *frame) {
        frame->setTextEncoding(TagLib::String::Latin1);
        frame->setLanguage("eng");
    };
    for (TagLib::ID3v2::Frame *frame : tag.frameList()) {
        if (auto *text = dynamic_cast<TagLib::ID3v2::TextIdentificationFrame *>(frame))
            text->setTextEncoding(TagLib::String::Latin1);
        if (auto *user = dynamic_cast<TagLib::ID3v2::UserTextIdentificationFrame *>(frame)) {
            for (const char *name : musicBrainzNames) {
                if (user->description().upper() == TagLib::String(name).upper())
                    user->setDescription(name);
            }
        } else if (auto *comment = dynamic_cast<TagLib::ID3v2::CommentsFrame *>(frame)) {
            latin1English(comment);
        } else if (auto *lyrics = dynamic_cast<TagLib::ID3v2::UnsynchronizedLyricsFrame *>(frame)) {
            latin1English(lyrics);
            if (lyrics->description() == "LYRICS")   // TagLib's own placeholder
                lyrics->setDescription(TagLib::String());
        }
    }
}

// The picture that becomes the MP3's "Front cover": the first front cover, or else the first.
qsizetype frontIndex(const QList<SourcePicture> &pictures)
{
    const auto front = std::find_if(pictures.cbegin(), pictures.cend(),
                                    [](const SourcePicture &picture) { return picture.type == kFrontCover; });
    return front == pictures.cend() ? 0 : front - pictures.cbegin();
}

// The front cover goes first. ID3v2 wants every picture's description to differ.
void addPictures(const QList<SourcePicture> &pictures, TagLib::ID3v2::Tag &tag)
{
    QList<SourcePicture> ordered = pictures;
    if (!ordered.isEmpty()) {
        ordered.move(frontIndex(pictures), 0);
        ordered.first().type = kFrontCover;
    }
    QSet<QString> descriptions;
    for (const SourcePicture &picture : std::as_const(ordered)) {
        QString description = picture.description;
        for (int n = 2; descriptions.contains(description); ++n)
            description = (picture.description.isEmpty() ? QString() : picture.description + u' ') + QString::number(n);
        descriptions.insert(description);

        auto *frame = new TagLib::ID3v2::AttachedPictureFrame;
        frame->setTextEncoding(TagLib::String::Latin1);
        frame->setMimeType(toTagLib(picture.mimeType));
        frame->setType(TagLib::ID3v2::AttachedPictureFrame::Type(qBound(0, picture.type, 20)));
        frame->setDescription(toTagLib(description));
        frame->setPicture(TagLib::ByteVector(picture.data.constData(), uint(picture.data.size())));
        tag.addFrame(frame);
    }
}

// CHAP frames "chp0", "chp1"... in the chapters' order, each with its title as a TIT2 (players
// show the frame's own name for a chapter without one: "Chapter N" instead), and ordered CTOCs
// that list them in that order. A CTOC counts its entries in one byte: one top-level CTOC lists
// up to 255 chapters; more go 255 at a time into CTOCs under it (the chapter addendum's nested
// tables), and those likewise under another level for as long as the top one would list more
// than 255, so that a reader walking down from the top finds every chapter once, in order.
// An ID3v2 time is 32-bit milliseconds.
void addChapters(const QList<SourceChapter> &chapters, TagLib::ID3v2::Tag &tag)
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
        title->setText(toTagLib(chapter.title.isEmpty() ? QStringLiteral("Chapter %1").arg(i + 1) : chapter.title));
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

// The number a field such as "3/12" or "2021-05-04" starts with (of up to digits digits); 0
// for none.
int leadingNumber(const QString &text, int digits)
{
    static const QRegularExpression number(QStringLiteral("^\\s*(\\d+)"));
    return number.match(text).captured(1).left(digits).toInt();
}

// The ID3v1.1 tag from the source's fields; TagLib writes its fixed sizes, cut here already
// so that what is kept does not depend on how TagLib renders text.
void fillId3v1(const SourceTags &tags, TagLib::ID3v1::Tag &tag)
{
    const auto first = [&tags](const char *key) { return tags.fields.value(QLatin1String(key)).value(0); };
    const auto cut = [](const QString &text, int bytes) { return toTagLib(TagCopy::id3v1Text(text).left(bytes)); };
    const int track = leadingNumber(first("TRACKNUMBER"), 9);
    const bool hasTrack = track > 0 && track < 256;   // one byte, 0 for none
    const QString comment = first("COMMENT").isEmpty() ? first("DESCRIPTION") : first("COMMENT");
    tag.setTitle(cut(first("TITLE"), 30));
    tag.setArtist(cut(first("ARTIST"), 30));
    tag.setAlbum(cut(first("ALBUM"), 30));
    tag.setYear(unsigned(leadingNumber(first("DATE"), 4)));
    tag.setComment(cut(comment, hasTrack ? 28 : 30));
    tag.setTrack(hasTrack ? unsigned(track) : 0);
    const TagLib::StringList genres = TagLib::ID3v1::genreList();
    const TagLib::String genre = toTagLib(first("GENRE").trimmed()).upper();
    unsigned number = 255;   // ID3v1's "none"
    for (unsigned i = 0; i < genres.size() && number == 255; ++i) {
        if (!genre.isEmpty() && genres[i].upper() == genre)
            number = i;
    }
    tag.setGenreNumber(number);
}

// The decoder run for one cover, on the tag step's worker thread: it waits for TagLib there
// already, so a short blocking run needs no state of its own in the conversion, and the
// picture goes through pipes, not temporary files. Nothing when it fails or gives no
// picture that fits.
std::optional<QByteArray> scaledCover(const QString &decoder, const QByteArray &data, int maxPixels, int timeoutMs)
{
    QProcess tool;
    tool.setProgram(decoder);
    tool.setArguments(TagCopy::coverScaleArguments(maxPixels));
    tool.setStandardErrorFile(QProcess::nullDevice());
    tool.start();
    if (!tool.waitForStarted(timeoutMs))
        return std::nullopt;
    tool.write(data);
    tool.closeWriteChannel();
    if (!tool.waitForFinished(timeoutMs)) {
        tool.kill();
        tool.waitForFinished();
        return std::nullopt;
    }
    const QByteArray scaled = tool.readAllStandardOutput();
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0 || !TagCopy::coverFits(scaled, maxPixels))
        return std::nullopt;
    return scaled;
}

// The fields of file's property map that the tag step carries over.
QMap<QString, QStringList> fieldsOf(TagLib::File &file)
{
    QMap<QString, QStringList> fields;
    for (const auto &[key, values] : file.properties()) {
        // Who or what encoded the source says nothing true of the MP3, and iTunes' loudness and
        // gapless figures belong to the source's own encoding.
        if (key == "ENCODEDBY" || key == "ENCODING" || key == "ENCODER" || key.startsWith("COMMENT:ITUN"))
            continue;
        QStringList texts;
        for (const TagLib::String &value : values) {
            // TagLib gives text that is not valid UTF-8 as empty; an empty frame helps nobody.
            if (!value.isEmpty())
                texts.append(toQString(value));
        }
        if (!texts.isEmpty())
            fields.insert(toQString(key), texts);
    }
    return fields;
}

} // namespace

namespace TagCopy {

SourceTags readSource(const QString &path)
{
    SourceTags tags;
    const ReadOnlyFile source(path);
    if (source.ref.isNull() || !source.ref.file()->isValid())
        return tags;
    tags.readable = true;
    tags.fields = fieldsOf(*source.ref.file());
    if (auto *mp4 = dynamic_cast<TagLib::MP4::File *>(source.ref.file()))
        readMp4(*mp4, tags);
    else
        readPictures(source.ref.file(), tags);
    return tags;
}

QMap<QString, QStringList> readFields(const QString &path)
{
    const ReadOnlyFile source(path, false);
    if (source.ref.isNull() || !source.ref.file()->isValid())
        return {};
    return fieldsOf(*source.ref.file());
}

bool writeId3v23(const SourceTags &tags, const QString &mp3Path, bool id3v1)
{
    if (tags.isEmpty())
        return true;
    const auto name = tagLibName(mp3Path);
    TagLib::MPEG::File file(name.c_str(), false);
    if (!file.isValid() || file.readOnly())
        return false;
    TagLib::ID3v2::Tag *tag = file.ID3v2Tag(true);
    for (TagLib::ID3v2::Frame *frame : TagLib::ID3v2::FrameList(tag->frameList()))
        tag->removeFrame(frame);
    tag->setProperties(fieldsForId3v23(tags));
    tidyFrames(*tag);
    addPictures(tags.pictures, *tag);
    addChapters(tags.chapters, *tag);
    if (id3v1)
        fillId3v1(tags, *file.ID3v1Tag(true));
    return file.save(id3v1 ? TagLib::MPEG::File::ID3v1 | TagLib::MPEG::File::ID3v2 : TagLib::MPEG::File::ID3v2,
                     TagLib::File::StripOthers, TagLib::ID3v2::v3, TagLib::File::DoNotDuplicate);
}

QString id3v1Text(const QString &text)
{
    QString latin1;
    for (const char32_t c : text.toUcs4()) {
        if (c < 0x100) {
            latin1.append(QChar(c));
        } else if (c >= 0x2010 && c <= 0x2015) {
            latin1.append(u'-');
        } else if (c >= 0x2018 && c <= 0x201B) {
            latin1.append(u'\'');
        } else if (c >= 0x201C && c <= 0x201F) {
            latin1.append(u'"');
        } else {
            // What it decomposes to, its accents (all above Latin-1) left out.
            QString letters;
            for (const QChar part : QString::fromUcs4(&c, 1).normalized(QString::NormalizationForm_KD)) {
                if (part.unicode() < 0x100)
                    letters.append(part);
            }
            latin1.append(letters.isEmpty() ? QStringLiteral("?") : letters);
        }
    }
    return latin1;
}

ImageShape imageShape(const QByteArray &data)
{
    ImageShape shape;
    if (!data.startsWith("\xFF\xD8"))
        return shape;
    shape.kind = ImageShape::Kind::OtherJpeg;
    const auto byte = [&data](qsizetype at) { return int(uchar(data.at(at))); };
    // Segment by segment up to the frame header; the scan's data comes only after it.
    for (qsizetype at = 2; at + 1 < data.size();) {
        if (byte(at) != 0xFF)
            return shape;   // no marker where one must be
        const int marker = byte(at + 1);
        at += 2;
        if (marker == 0xFF) {
            --at;   // a fill byte before the marker
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue;   // markers without a length
        if (marker == 0xD9 || marker == 0xDA || at + 1 >= data.size())
            return shape;   // image or scan before any frame
        const int length = byte(at) << 8 | byte(at + 1);
        // SOF0 to SOF15, but for DHT (C4), JPG (C8) and DAC (CC): length, precision, height, width.
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            if (length < 8 || at + 6 >= data.size())
                return shape;
            shape.height = byte(at + 3) << 8 | byte(at + 4);
            shape.width = byte(at + 5) << 8 | byte(at + 6);
            if (marker <= 0xC1 && byte(at + 2) == 8)   // SOF1 may have 12-bit samples, which few read
                shape.kind = ImageShape::Kind::BaselineJpeg;
            return shape;
        }
        if (length < 2)
            return shape;
        at += length;
    }
    return shape;
}

bool coverFits(const QByteArray &data, int maxPixels)
{
    if (maxPixels <= 0)
        return true;
    const ImageShape shape = imageShape(data);
    return shape.kind == ImageShape::Kind::BaselineJpeg && shape.width > 0 && shape.height > 0
           && qMax(shape.width, shape.height) <= maxPixels;
}

QStringList coverScaleArguments(int maxPixels)
{
    const QString side = QString::number(maxPixels);
    // Full-range 4:2:0, the JPEG every decoder reads; the quotes keep the commas inside
    // min() from parting the filters.
    return {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"), QStringLiteral("image2pipe"),
            QStringLiteral("-i"), QStringLiteral("-"), QStringLiteral("-frames:v"), QStringLiteral("1"),
            QStringLiteral("-vf"),
            QStringLiteral("scale=w='min(iw,%1)':h='min(ih,%1)':force_original_aspect_ratio=decrease,format=yuvj420p")
                .arg(side),
            QStringLiteral("-c:v"), QStringLiteral("mjpeg"), QStringLiteral("-q:v"), QStringLiteral("2"),
            QStringLiteral("-f"), QStringLiteral("mjpeg"), QStringLiteral("-")};
}

Written writeTags(SourceTags tags, const QString &mp3Path, const TagChoices &choices, const QString &decoder,
                  int timeoutMs)
{
    Written written;
    if (choices.coverMaxPixels > 0 && !tags.pictures.isEmpty()) {
        SourcePicture &front = tags.pictures[frontIndex(tags.pictures)];
        if (!coverFits(front.data, choices.coverMaxPixels)) {
            if (const auto scaled = scaledCover(decoder, front.data, choices.coverMaxPixels, timeoutMs)) {
                front.data = *scaled;
                front.mimeType = QStringLiteral("image/jpeg");
            } else {
                written.note = QStringLiteral("the cover could not be scaled down and is kept as it was");
            }
        }
    }
    written.ok = writeId3v23(tags, mp3Path, choices.id3v1);
    return written;
}

// ffmpeg's metadata format: ";FFMETADATA1", then "key=value" lines, global ones first, then
// under "[CHAPTER]" (or "[STREAM]") headers; lines that start with ';' or '#' are comments.
// A backslash takes the next character as it is: "\=", "\;", "\#", "\\", and a backslash
// before a line's end keeps that newline in the value. A chapter's START and END count in
// its TIMEBASE ("1/1000"); ffmpeg's own reader takes nanoseconds without one.
QList<SourceChapter> readChapters(const QString &ffmetadataPath)
{
    QFile file(ffmetadataPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return parseChapters(file.readAll());
}

QList<SourceChapter> listChapters(const QString &decoder, const QString &source, int timeoutMs)
{
    QProcess tool;
    tool.setProgram(decoder);
    tool.setArguments(Tools::chapterListArguments(source));
    tool.setStandardErrorFile(QProcess::nullDevice());
    tool.start(QIODevice::ReadOnly);
    if (!tool.waitForFinished(timeoutMs)) {
        tool.kill();
        tool.waitForFinished();
        return {};
    }
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
        return {};
    return parseChapters(tool.readAllStandardOutput());
}

SourceTags chapterTags(SourceTags tags, const SourceSpan &span)
{
    if (span.isWhole())
        return tags;
    const QString album = QStringLiteral("ALBUM");
    const QString title = QStringLiteral("TITLE");
    if (tags.fields.value(album).join(QString()).trimmed().isEmpty() && tags.fields.contains(title))
        tags.fields.insert(album, tags.fields.value(title));
    tags.fields.insert(title, {span.title});
    tags.fields.insert(QStringLiteral("TRACKNUMBER"), {QStringLiteral("%1/%2").arg(span.chapter).arg(span.chapters)});
    tags.chapters.clear();
    return tags;
}

QList<SourceChapter> parseChapters(const QByteArray &text)
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

std::optional<MpegAudio> readMpegAudio(const QString &mp3Path)
{
    const auto name = tagLibName(mp3Path);
    TagLib::MPEG::File file(name.c_str(), true, TagLib::AudioProperties::Average);
    const TagLib::AudioProperties *properties = file.isValid() ? file.audioProperties() : nullptr;
    if (!properties || properties->bitrate() <= 0 || properties->lengthInMilliseconds() <= 0)
        return std::nullopt;
    // The average TagLib works out lies near the rate the file was made at (328 for 320);
    // the nearest rate an MP3 can have is that one.
    static const int kRates[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 192, 224, 256, 320};
    const int kbps = *std::min_element(std::begin(kRates), std::end(kRates), [&](int a, int b) {
        return qAbs(a - properties->bitrate()) < qAbs(b - properties->bitrate());
    });
    // A constant-rate file cut short still states its whole length in its header frame; its
    // bytes tell how much of it is there: those after the tag in front, which with a cover
    // can outweigh the audio.
    const qint64 tagBytes = file.hasID3v2Tag() ? file.ID3v2Tag()->header()->completeTagSize() : 0;
    const qint64 bytesMs = qMax<qint64>(0, QFileInfo(mp3Path).size() - tagBytes) * 8 / kbps;
    return MpegAudio{qMin<qint64>(properties->lengthInMilliseconds(), bytesMs), kbps};
}

std::optional<qint64> readStatedLengthMs(const QString &path)
{
    const ReadOnlyFile source(path);
    const TagLib::AudioProperties *properties = source.ref.isNull() ? nullptr : source.ref.audioProperties();
    if (!properties || properties->lengthInMilliseconds() <= 0)
        return std::nullopt;
    return properties->lengthInMilliseconds();
}

} // namespace TagCopy
