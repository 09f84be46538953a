#pragma once

#include "pathhelpers.h"

#include <QString>

#include <functional>

// Names for the temporary MP3 files: "zurvek", eight digits 1 to 9, ".mp3". A name is
// reserved from the moment it is handed out until releaseTempMp3Path(), so that files
// converted at the same time never share one, even before their decoder has created it.

// A free path in folder (native separators). Draws again while exists() reports something at
// the path or the name is reserved. Gives up with an empty text only after so many draws that
// the folder must be unusable (exists() always true).
QString reserveTempMp3Path(const QString &folder,
                           const std::function<bool(const QString &)> &exists = Paths::fileExists);

// Ends the reservation; the file itself is left alone.
void releaseTempMp3Path(const QString &path);

bool isTempMp3Name(const QString &fileName);
