#pragma once

#include "convert/engine/conversiontypes.h"
#include "convert/engine/replaygain.h"
#include "convert/saving/resultsaver.h"

#include <QStringList>

// What a front end asks of one batch: the sources, how they are encoded, how many files at
// once, and where the tools and the temporary files are.
struct SessionSetup
{
    // What the batch converts, one record each: a source, or with spans one part of it (a
    // source split into chapters is listed once per chapter). Every index of the batch (its
    // records, fileStarted(), saveNames) counts these entries.
    QStringList sources;
    QList<SourceSpan> spans;   // by entry of sources; empty: every entry a whole source
    Tools::Encoding encoding;  // made once by the front end, carried unchanged to the encoder's arguments
    TagChoices tags;           // carried unchanged to every file's tag step
    int jobs = 1;              // files converted at the same time; 1 converts strictly in turn
    // The tools and how they run; a decoder or encoder left "" is the one beside appFolder.
    // tools.tempFolder is the folder in which the program's own folder is made ("" for the
    // system's temporary folder): the temporary files go into that private folder.
    ToolSet tools;
    QString appFolder;
    // Start the longest sources first (by their stated length, else by size), so that a long
    // file does not run alone at the end; every report stays in source order.
    bool longestFirst = false;
    // When set, each converted file is saved there as soon as it is done (under its record's
    // outputName, every one settled before the first file starts: names repeated within one
    // folder get " (2)", " (3)" in source order, so which file gets which does not depend on
    // timing) and its temporary file deleted; a file that cannot be saved fails. When
    // empty the converted files stay in takeResults() for the receiver of finished().
    QString saveFolder;
    // By source, where each goes below saveFolder, with "/" between folders
    // ("Music/Album/01 Song.mp3"); the folders are created as needed. Empty: every file
    // goes into saveFolder itself under its source's display name.
    QStringList saveNames;
    // What saving does with a file already at a name (ResultSaver::Existing).
    ResultSaver::Existing existing = ResultSaver::Existing::Overwrite;
    // When saving: ReplayGain frames written into each converted file before it is saved
    // (GainStep); with Album, the files of one album (ReplayGain::albumKey) wait for each other.
    // A file whose measuring fails is saved without them and fails.
    ReplayGain::Mode replayGain = ReplayGain::Mode::None;
};
