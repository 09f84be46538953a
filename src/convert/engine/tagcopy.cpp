#include "convert/engine/tagcopy.h"

#include "convert/engine/taglibfile.h"

#include <QRegularExpression>
#include <QSet>

#include <taglib/attachedpictureframe.h>
#include <taglib/commentsframe.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v1genres.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tpropertymap.h>
#include <taglib/unsynchronizedlyricsframe.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>

namespace {

using TagLibFile::toQByteArray;
using TagLibFile::toQString;
using TagLibFile::toTagLib;

constexpr int kFrontCover = TagLib::ID3v2::AttachedPictureFrame::FrontCover;

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


// The front cover goes first. ID3v2 wants every picture's description to differ.
void addPictures(const QList<SourcePicture> &pictures, TagLib::ID3v2::Tag &tag)
{
    QList<SourcePicture> ordered = pictures;
    if (!ordered.isEmpty()) {
        ordered.move(TagCopy::frontIndex(pictures), 0);
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

qsizetype frontIndex(const QList<SourcePicture> &pictures)
{
    const auto front = std::find_if(pictures.cbegin(), pictures.cend(),
                                    [](const SourcePicture &picture) { return picture.type == kFrontCover; });
    return front == pictures.cend() ? 0 : front - pictures.cbegin();
}

SourceTags readSource(const QString &path)
{
    SourceTags tags;
    const TagLibFile::ReadOnly source(path);
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
    const TagLibFile::ReadOnly source(path, false);
    if (source.ref.isNull() || !source.ref.file()->isValid())
        return {};
    return fieldsOf(*source.ref.file());
}

bool writeId3v23(const SourceTags &tags, const QString &mp3Path, bool id3v1)
{
    if (tags.isEmpty())
        return true;
    const TagLibFile::Turn turn;
    const TagLibFile::Name name(mp3Path);
    TagLib::MPEG::File file(name.get(), false);
    if (!file.isValid() || file.readOnly())
        return false;
    TagLib::ID3v2::Tag *tag = file.ID3v2Tag(true);
    for (TagLib::ID3v2::Frame *frame : TagLib::ID3v2::FrameList(tag->frameList()))
        tag->removeFrame(frame);
    tag->setProperties(fieldsForId3v23(tags));
    tidyFrames(*tag);
    addPictures(tags.pictures, *tag);
    Chapters::addFrames(tags.chapters, *tag);
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

} // namespace TagCopy
