#include "convert/engine/mpegaudio.h"

#include "convert/engine/taglibfile.h"

#include <taglib/apefooter.h>
#include <taglib/apetag.h>
#include <taglib/mpegfile.h>
#include <taglib/xingheader.h>

namespace MpegAudio {

namespace {

// A Layer III frame as its 4-byte header describes it.
struct Frame
{
    bool mpeg1 = false;
    int sampleRate = 0;
    int kbps = 0;
    int samples = 0;   // per channel
    int bytes = 0;     // the header's own included
};

// The longest Layer III frame: MPEG-1's 320 kbps at 32 kHz, or MPEG-2.5's 160 kbps at 8 kHz, padded.
constexpr int kMaxFrameBytes = 1441;

// The frame whose header starts at data (4 bytes at least); nothing unless it is Layer III.
std::optional<Frame> frameAt(const char *data)
{
    const auto byte = [data](int i) { return int(uchar(data[i])); };
    if (byte(0) != 0xFF || (byte(1) & 0xE0) != 0xE0)
        return std::nullopt;
    const int version = (byte(1) >> 3) & 3;     // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5, 1 reserved
    const int layer = (byte(1) >> 1) & 3;       // 1 Layer III
    const int rateIndex = (byte(2) >> 2) & 3;   // 3 reserved
    if (version == 1 || layer != 1 || rateIndex == 3)
        return std::nullopt;
    Frame frame;
    frame.mpeg1 = version == 3;
    frame.kbps = layer3Kbps(frame.mpeg1, byte(2) >> 4);
    if (frame.kbps == 0)
        return std::nullopt;
    // MPEG-2 halves MPEG-1's sample rates, MPEG-2.5 quarters them.
    static const int kMpeg1Rates[] = {44100, 48000, 32000};
    frame.sampleRate = kMpeg1Rates[rateIndex] >> (frame.mpeg1 ? 0 : version == 2 ? 1 : 2);
    frame.samples = frame.mpeg1 ? 1152 : 576;
    frame.bytes = frame.samples / 8 * frame.kbps * 1000 / frame.sampleRate + ((byte(2) >> 1) & 1);
    return frame;
}

// How many whole frames of first's version and sample rate follow one another from offset up
// to end. It reads every frame's header, so it is asked only of a file already known to be
// short of what its VBR header states.
qint64 framesFrom(TagLib::MPEG::File &file, qint64 offset, qint64 end, const Frame &first)
{
    TagLib::ByteVector chunk;
    qint64 chunkAt = 0;
    qint64 frames = 0;
    while (offset + 4 <= end) {
        if (offset + 4 > chunkAt + qint64(chunk.size())) {
            file.seek(offset);
            chunk = file.readBlock(1 << 16);
            chunkAt = offset;
            if (chunk.size() < 4)
                break;
        }
        const std::optional<Frame> frame = frameAt(chunk.data() + (offset - chunkAt));
        if (!frame || frame->mpeg1 != first.mpeg1 || frame->sampleRate != first.sampleRate || offset + frame->bytes > end)
            break;
        ++frames;
        offset += frame->bytes;
    }
    return frames;
}

} // namespace

std::optional<Facts> read(const QString &mp3Path)
{
    const TagLibFile::Turn turn;
    const TagLibFile::Name name(mp3Path);
    TagLib::MPEG::File file(name.get(), true, TagLib::AudioProperties::Average);
    const TagLib::MPEG::Properties *properties = file.isValid() ? file.audioProperties() : nullptr;
    // After the tag in front, which with a cover can outweigh the audio.
    const qint64 start = properties ? qint64(file.firstFrameOffset()) : -1;
    if (start < 0)
        return std::nullopt;
    file.seek(start);
    const TagLib::ByteVector head = file.readBlock(2 * kMaxFrameBytes + 4);   // the first two frames
    const std::optional<Frame> first = head.size() >= 4 ? frameAt(head.data()) : std::nullopt;
    if (!first)
        return std::nullopt;
    const qint64 fileBytes = file.length();

    if (const TagLib::MPEG::XingHeader *vbr = properties->xingHeader()) {
        // The header frame counts the bytes from its own start on, and the frames after it. A
        // file cut short still states the whole count: the frames there are count then.
        qint64 frames = vbr->totalFrames();
        if (fileBytes - start < qint64(vbr->totalSize()))
            frames = qMin(frames, framesFrom(file, start, fileBytes, *first) - 1);
        const qint64 lengthMs = qMax<qint64>(0, frames) * first->samples * 1000 / first->sampleRate;
        // lame names the header "Xing" for VBR and "Info" for a constant rate, which TagLib
        // reads alike. A constant rate's header frame may be at a rate of its own, high enough
        // to hold it (ffmpeg's at 8 kHz): the frame after it has the file's.
        const bool variable = vbr->type() == TagLib::MPEG::XingHeader::VBRI
                              || head.mid(0, uint(first->bytes)).find("Xing") >= 0;
        const std::optional<Frame> next =
            int(head.size()) >= first->bytes + 4 ? frameAt(head.data() + first->bytes) : std::nullopt;
        return Facts{lengthMs, variable || !next ? properties->bitrate() : next->kbps};
    }

    // No header: a constant rate, which its bytes of audio tell the length of.
    qint64 end = fileBytes - (file.hasID3v1Tag() ? 128 : 0);
    if (file.hasAPETag())
        end -= file.APETag()->footer()->completeTagSize();
    return Facts{qMax<qint64>(0, end - start) * 8 / first->kbps, first->kbps};
}

int layer3Kbps(bool mpeg1, int index)
{
    static const int kMpeg1[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static const int kMpeg2[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
    if (index < 0 || index > 15)
        return 0;
    return mpeg1 ? kMpeg1[index] : kMpeg2[index];
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
