#pragma once

#include "convert/engine/conversiontypes.h"

#include <QStringList>

// The two tool command lines and the bitrate choices, as pure functions so that the exact
// lists the tools receive can be checked without running anything.
namespace Tools {

// The 18 bitrates offered to the user, 8 to 320 kbps, lowest first.
QList<int> bitrates();
int defaultBitrate();
// "192 kbps" for 192.
QString bitrateText(int bitrate);
QString defaultBitrateText();

// ffmpeg decodes the source's first audio track into an MP3 file at 320 kbps, the top MP3 rate:
// a lower rate would cap the re-encoded result's quality whatever the choice. No tag, not even
// ffmpeg's own (the tag step writes the source's); no overwrite option, as nothing existed at
// tempMp3 when it was chosen. In the same run it writes the source's chapters to
// chaptersPath(tempMp3), in its own metadata format, for the tag step. That output comes
// first, so that the MP3 stays the last argument; each output's format follows from its
// name's extension. A span that is a chapter decodes that chapter only (see spanArguments()).
// A decoder that lacks the metadata writer writes no chapters file.
QStringList decoderArguments(const QString &source, const QString &tempMp3, const SourceSpan &span = {},
                             const DecoderGaps &gaps = {});

// How the decoder takes one chapter, sample-exact: the input options (before "-i") seek to a
// second before the chapter's start, and the output options decode from there, dropping the
// samples up to the start and stopping after the chapter's length. The AAC decoder needs that
// second to settle: a cut right at the start would begin with a frame decoded from nothing.
// Both empty for a whole source.
struct SpanArguments
{
    QStringList input;
    QStringList output;
};
SpanArguments spanArguments(const SourceSpan &span);

// ffmpeg writes the source's chapters, in its metadata format, to standard output
// (Chapters::parse() reads them); nothing is decoded.
QStringList chapterListArguments(const QString &source);

// Where the decoder writes the source's chapters: beside tempMp3, under its base name with
// ".ffmeta" (the extension ffmpeg knows its metadata format by). "" for "".
QString chaptersPath(const QString &tempMp3);

// Where a front cover waits for the decoder that scales it: beside tempMp3, under its base name
// with ".cover". "" for "".
QString coverPath(const QString &tempMp3);

// A path as ffmpeg takes it for a plain file. ffmpeg reads "name:" in front of a path as a
// protocol ("pipe:0.m4a" would be standard input, "concat:a|b" two other files), so a
// relative path with a colon gets "file:" in front; every other path goes as it is.
QString ffmpegFileArgument(const QString &path);

// lame re-encodes the decoder's file at high quality ("-h").
QStringList encoderArguments(const Encoding &encoding, const QString &input, const QString &output);

// lame's line in the single pass: as above, from its standard input, and without its own
// ReplayGain analysis, which costs time for a figure that nobody reads.
QStringList pipedEncoderArguments(const Encoding &encoding, const QString &output);

// The single pass: ffmpeg decodes the source's first audio track to WAV on its standard output,
// and lame encodes its standard input ("-") as above. The samples are 32-bit: rounding them to
// 16 bits adds noise in every band, which lame then spends about 14% more time coding. More than
// two channels are mixed down to stereo (lame takes no more), as ffmpeg's own MP3 encoder does in
// the two steps. The chapters go to chaptersPath(tempMp3) as in the two steps. A decoder without
// 32-bit PCM sends 16-bit samples.
QStringList pipedDecoderArguments(const QString &source, const QString &tempMp3, const SourceSpan &span = {},
                                  const DecoderGaps &gaps = {});

// ffmpeg decodes file's first audio track to raw 32-bit float samples on standard output, as
// channels channels at rate samples a second: for the loudness meter and the spectrogram,
// which read the stream as it comes and need no header.
QStringList floatSampleArguments(const QString &file, int channels, int rate);

// Where lame writes: folder / base name of tempMp3 + "_" + the encoding's text + ".mp3".
QString encoderOutputPath(const QString &folder, const QString &tempMp3, const Encoding &encoding);

} // namespace Tools
