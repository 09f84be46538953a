#pragma once

#include "pathhelpers.h"

#include <QString>

#include <functional>

// Names for the temporary MP3 files: "zurvek", eight digits 1 to 9, ".mp3". A name is
// reserved from the moment it is handed out until releaseTempMp3Path(), so that files
// converted at the same time never share one, even before their decoder has created it.
//
// The reservation holds across programs too: two copies of Quorvane (or the window and
// quorvane-cli) may share one temporary folder, and each deletes "its" temporary file when a
// tool fails. While a name is reserved, a lock file "<name>.lock" sits beside it, made with
// exclusive creation and held open by this process; another program never hands out a name
// whose MP3 file or lock file exists. A lock left behind by a program that was killed
// outright is recognised as stale (its process is gone) and taken over. Where no lock file
// can be made at all (the folder is missing or read-only) the name is reserved within this
// process only; the decoder then cannot write there either and says why.

// A free path in folder (native separators). Draws again while exists() reports something at
// the path, the name is reserved in this process or its lock file is held by another one.
// Gives up with an empty text only after so many draws that the folder must be unusable
// (exists() always true).
QString reserveTempMp3Path(const QString &folder,
                           const std::function<bool(const QString &)> &exists = Paths::fileExists);

// The same with the names drawn by drawName (a file name each time) instead of at random:
// for tests that need two draws to meet.
QString reserveTempMp3Path(const QString &folder,
                           const std::function<bool(const QString &)> &exists,
                           const std::function<QString()> &drawName);

// Ends the reservation and removes its lock file; the MP3 file itself is left alone. A
// caller that deletes the MP3 file does so before this, while the name is still its own.
void releaseTempMp3Path(const QString &path);

// A converted file passes from its conversion to whoever takes it (the results window, the
// command line's saving): a held mark "<name>.held" with this process's id takes the lock's
// place for the file's whole life, so that a sweep by another program leaves it alone and a
// sweep after a kill clears it. The mark is a closed file: a window holding thousands of
// results holds no file handles for them. Ends the reservation.
void holdTempMp3(const QString &path);

// Deletes a temporary MP3 file that this process holds, then its mark and reservation.
void discardTempMp3(const QString &path);

// Deletes what programs that were killed outright left in folder: each temporary MP3 file
// whose lock or held mark names a process on this machine that no longer runs, or that has
// neither (every living file has one), the encoder's output beside it, and the lock or mark.
// Also the batch folders of programs that are gone, whole. Names of running programs and
// marks that cannot be read are left alone. Returns how many
// names were cleared. Safe while other programs convert into the same folder.
int removeAbandonedTempFiles(const QString &folder);

// The name pattern (for QTemporaryDir) of a batch's own folder in the temporary folder,
// naming this process so that a sweep can tell a killed program's folder: "quorvane-PID-XXXXXX".
QString batchFolderTemplate();

// The lock file that marks path's name as taken: path + ".lock".
QString tempMp3LockPath(const QString &path);
// The mark of a converted file that a living program holds: path + ".held".
QString tempMp3HeldPath(const QString &path);

bool isTempMp3Name(const QString &fileName);
