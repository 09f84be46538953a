#include "convert/engine/replaygain.h"

#include "convert/engine/loudness.h"
#include "convert/engine/taglibfile.h"

#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>

#include <cmath>

namespace ReplayGain {

namespace {

Gain gainFor(double lufs, double peak)
{
    Gain gain{kReferenceLufs - lufs, peak};
    if (peak > 0.0)
        gain.db = qMin(gain.db, kPeakCeilingDbtp - 20.0 * std::log10(peak));
    return gain;
}

const char *const kFrames[] = {"REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_PEAK", "REPLAYGAIN_ALBUM_GAIN",
                               "REPLAYGAIN_ALBUM_PEAK"};

TagLib::ID3v2::UserTextIdentificationFrame *frameOf(TagLib::ID3v2::Tag &tag, const char *description)
{
    return TagLib::ID3v2::UserTextIdentificationFrame::find(&tag, description);
}

} // namespace

std::optional<Gain> trackGain(const Loudness &loudness)
{
    if (!loudness.isFinite())
        return std::nullopt;
    return gainFor(loudness.lufs, loudness.peak);
}

std::optional<Gain> albumGain(const QList<Loudness> &files)
{
    QList<void *> states;
    double peak = 0.0;
    for (const Loudness &file : files) {
        if (file.isFinite() && file.state) {
            states.append(file.state.get());
            peak = qMax(peak, file.peak);
        }
    }
    const double lufs = R128::loudnessOf(states);
    if (!std::isfinite(lufs))
        return std::nullopt;
    return gainFor(lufs, peak);
}

bool writeFrames(const QString &path, const Gain &track, const std::optional<Gain> &album)
{
    const TagLibFile::Turn turn;
    const TagLibFile::Name name(path);
    TagLib::MPEG::File file(name.get(), false);
    if (!file.isValid() || file.readOnly())
        return false;
    TagLib::ID3v2::Tag *tag = file.ID3v2Tag(true);
    const auto set = [tag](const char *description, const QString &value) {
        if (TagLib::ID3v2::UserTextIdentificationFrame *old = frameOf(*tag, description))
            tag->removeFrame(old);
        auto *frame = new TagLib::ID3v2::UserTextIdentificationFrame(TagLib::String::Latin1);
        frame->setDescription(description);
        frame->setText(TagLibFile::toTagLib(value));
        tag->addFrame(frame);
    };
    // As players read them: the gain with two decimals and its unit, the peak with six.
    const auto db = [](double value) { return QString::asprintf("%+.2f dB", value); };
    const auto peak = [](double value) { return QString::asprintf("%.6f", value); };
    set(kFrames[0], db(track.db));
    set(kFrames[1], peak(track.peak));
    if (album) {
        set(kFrames[2], db(album->db));
        set(kFrames[3], peak(album->peak));
    }
    const int tags = TagLib::MPEG::File::ID3v2 | (file.hasID3v1Tag() ? TagLib::MPEG::File::ID3v1 : 0);
    return file.save(tags, TagLib::File::StripNone, TagLib::ID3v2::v3, TagLib::File::DoNotDuplicate);
}

bool hasFrames(const QString &path, Mode mode)
{
    if (mode == Mode::None)
        return true;
    const TagLibFile::Turn turn;
    const TagLibFile::Name name(path);
    TagLib::MPEG::File file(name.get(), false);
    TagLib::ID3v2::Tag *tag = file.isValid() && file.hasID3v2Tag() ? file.ID3v2Tag() : nullptr;
    if (!tag || !frameOf(*tag, kFrames[0]))
        return false;
    return mode == Mode::Track || tag->album().isEmpty() || frameOf(*tag, kFrames[2]);
}

QString albumKey(const QString &outputName, const QString &album)
{
    if (album.trimmed().isEmpty())
        return {};
    const qsizetype slash = outputName.lastIndexOf(u'/');
    return outputName.left(qMax<qsizetype>(0, slash)) + u'\n' + album;
}

} // namespace ReplayGain
