#include "convert/engine/mpegaudio.h"

#include "convert/engine/taglibfile.h"

#include <QFileInfo>

#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>

#include <algorithm>
#include <iterator>

namespace MpegAudio {

std::optional<Facts> read(const QString &mp3Path)
{
    const TagLibFile::Name name(mp3Path);
    TagLib::MPEG::File file(name.get(), true, TagLib::AudioProperties::Average);
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
    return Facts{qMin<qint64>(properties->lengthInMilliseconds(), bytesMs), kbps};
}

std::optional<qint64> statedLengthMs(const QString &path)
{
    const TagLibFile::ReadOnly source(path);
    const TagLib::AudioProperties *properties = source.ref.isNull() ? nullptr : source.ref.audioProperties();
    if (!properties || properties->lengthInMilliseconds() <= 0)
        return std::nullopt;
    return properties->lengthInMilliseconds();
}

} // namespace MpegAudio
