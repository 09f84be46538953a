#pragma once

#include <QString>

// Every temporary file of this program lives in a folder of its own in the temporary folder, made
// with a unique name and mode 0700 on first use and removed whole when the program ends: no name in
// the shared folder can be predicted by another user, or planted as a link for a tool to write
// through. Its name carries the program's mark ("quorvane-<tag>-<pid>-XXXXXX", see ProcessIdentity),
// so that a later program can tell what a killed program left behind from a living one's.
namespace WorkFolder {

// This program's folder inside tempFolder ("" for the system's), made when first asked for, and
// again when removed under us; "" when it cannot be made, with the reason in one line in *problem.
QString in(const QString &tempFolder, QString *problem = nullptr);

// A native path in folder for a new temporary MP3, "zurvek" + eight digits 1 to 9 + ".mp3", where
// nothing exists; "" when every name is taken. The folder is this program's own and private, so
// no other user can guess or plant a name: the names are simply counted, none handed out twice.
QString newTempMp3Path(const QString &folder);

// Deletes a converted temporary file that its owner lets go.
void discardTempMp3(const QString &path);

// Removes from tempFolder, whole, the folders of programs that have surely ended (see
// ProcessIdentity::isAbandoned), and says how many. Only real folders of this user, private as
// ours are made, removed by descriptor (SharedFolder): a name that anyone can make, or a link
// by it, is never emptied with our rights. Safe while other programs, here or on other
// machines, work in the same folder.
int removeAbandoned(const QString &tempFolder);

} // namespace WorkFolder
