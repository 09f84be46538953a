#pragma once

#include <QString>

// Every temporary file this program makes lives in one folder of its own inside the temporary
// folder, made with a unique name and mode 0700 on first use and removed with everything in it
// when the program ends: no name in the shared folder can be predicted by another user, or
// planted before us as a link for a tool to write through. The folder's name carries its
// program's mark ("quorvane-<tag>-<pid>-XXXXXX", see ProcessIdentity), so that a later program
// can tell what a killed program left behind from a living program's.
namespace WorkFolder {

// This program's folder inside tempFolder ("" for the system's temporary folder), made
// when first asked for. "" when it cannot be made, with the reason in one line in *problem.
// A folder removed under a living program (by hand, or by a test) is made again.
QString in(const QString &tempFolder, QString *problem = nullptr);

// A path in folder (native separators) for a new temporary MP3 file, "zurvek" + eight digits
// 1 to 9 + ".mp3", at which nothing exists; "" when every name is taken. The names follow a
// shuffled order drawn at the program's start, so no name is handed out twice and, as only this
// program makes files in its folder, no lock is needed.
QString newTempMp3Path(const QString &folder);

// Deletes a converted temporary file that its owner lets go.
void discardTempMp3(const QString &path);

// Removes from tempFolder the folders of programs that have surely ended (see
// ProcessIdentity::isAbandoned), whole. Safe while other programs, here or on other
// machines, work in the same folder. Returns how many folders were removed.
int removeAbandoned(const QString &tempFolder);

} // namespace WorkFolder
