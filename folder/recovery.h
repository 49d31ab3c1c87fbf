// SPDX-License-Identifier: MIT
#pragma once

// What a StagedFolder leaves in a folder while it works, and how the next one finishes or undoes it
// after a run that was killed outright. Only StagedFolder uses this.

#include <QByteArray>
#include <QString>

#include <cerrno>
#include <vector>

#include <sys/stat.h>

namespace folder::work {

// A new file is staged as ".tilemaven-new.NAME", an older one set aside as ".tilemaven-old.NAME";
// the journal is written whole under its draft's name first.
extern const QString kNewPrefix;
extern const QString kOldPrefix;
extern const QString kJournal;
extern const QString kJournalDraft;

QByteArray encoded(const QString& name);
QString systemError(int error = errno);
// What stands at `name` in the folder `dir`, without following a link: 0 when nothing does.
mode_t entryType(int dir, const QString& name, struct stat* info = nullptr);
bool renameIn(int dir, const QString& from, const QString& to);
// Removes `name` if it is there; true when it is gone.
bool removeIn(int dir, const QString& name);

// One file of the set being moved: whether an older file was set aside for it, whether the new one
// stood in place when the journal was written, and the new file's size.
struct JournalLine {
    bool hadOlder = false;
    bool moved = false;
    qint64 size = -1; // -1: not known (a journal of the first version)
    QString name;
};

// Writes the journal whole under the draft's name and renames it into place, so that it is there
// complete or not at all. "forward": every new file is staged whole and the moves have begun;
// "back": the older files are being put back. 0, or the errno of the failure.
int writeJournal(int dir, bool forward, const std::vector<JournalLine>& lines);

// Puts the folder `dir` (shown to the user as `shown`) in order after a run that was killed
// outright. Empty when the folder is ready, else one line saying why nothing more was done.
QString recover(int dir, const QString& shown);

} // namespace folder::work
