// SPDX-License-Identifier: MIT
#include "folder/recovery.h"

#include "folder/stagedfolder.h"

#include <QFile>
#include <QStringList>

#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace folder::work {

const QString kNewPrefix = QStringLiteral(".tilemaven-new.");
const QString kOldPrefix = QStringLiteral(".tilemaven-old.");
const QString kJournal = QStringLiteral(".tilemaven-journal");
const QString kJournalDraft = QStringLiteral(".tilemaven-journal.draft");

namespace {

constexpr const char* kHeader = "tilemaven journal 2";
// A journal of the first version names no sizes: its staged files count as whole when present.
constexpr const char* kFirstHeader = "tilemaven journal 1";
// A journal names at most kMaxPieces + 2 files: anything near this size is not one of ours.
constexpr qint64 kMaxJournalBytes = 64 * 1024;

} // namespace

QByteArray encoded(const QString& name) {
    return QFile::encodeName(name);
}

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

mode_t entryType(int dir, const QString& name, struct stat* info) {
    struct stat st {};
    if (fstatat(dir, encoded(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return 0;
    if (info)
        *info = st;
    return st.st_mode & S_IFMT;
}

bool renameIn(int dir, const QString& from, const QString& to) {
    return renameat(dir, encoded(from).constData(), dir, encoded(to).constData()) == 0;
}

bool removeIn(int dir, const QString& name) {
    return unlinkat(dir, encoded(name).constData(), 0) == 0 || errno == ENOENT;
}

int writeJournal(int dir, bool forward, const std::vector<JournalLine>& lines) {
    QByteArray text = kHeader;
    text += forward ? "\nforward\n" : "\nback\n";
    for (const JournalLine& line : lines)
        text += QByteArray(line.hadOlder ? "1 " : "0 ") + (line.moved ? "1 " : "0 ") +
                QByteArray::number(line.size) + ' ' + encoded(line.name) + '\n';
    text += "end\n";
    const QByteArray draft = encoded(kJournalDraft);
    unlinkat(dir, draft.constData(), 0);
    const int fd =
        openat(dir, draft.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool written = fd >= 0;
    for (qsizetype at = 0; written && at < text.size();) {
        const ssize_t put = ::write(fd, text.constData() + at, std::size_t(text.size() - at));
        if (put < 0 && errno == EINTR)
            continue;
        written = put > 0;
        at += put > 0 ? put : 0;
    }
    written = written && fsync(fd) == 0;
    int error = errno;
    if (fd >= 0)
        ::close(fd);
    if (written && renameat(dir, draft.constData(), dir, encoded(kJournal).constData()) == 0) {
        fsync(dir); // once it is in place, the journal says what it says
        return 0;
    }
    if (written)
        error = errno;
    unlinkat(dir, draft.constData(), 0);
    return error ? error : EIO;
}

namespace {

// One recovery: the folder, and why it stopped.
struct Recovery {
    int dir;
    QString shown;
    QString problem;

    bool failed(const QString& name, int error = errno) {
        problem = QStringLiteral("Could not finish an earlier run that was stopped part-way in %1 "
                                 "(%2): %3")
                      .arg(shown, name, systemError(error));
        return false;
    }
    // Something at a work name that no run of this user left: it stays as it is, and so does
    // everything else, so that another user's entry cannot make a run act on its behalf.
    bool notOurs(const QString& name) {
        problem = QStringLiteral("Cannot use the folder %1: %2 is not what a run of this user "
                                 "leaves under that name; nothing was changed")
                      .arg(shown, name);
        return false;
    }
};

// The names an earlier run can have left: the journal, its draft, and a puzzle file's name behind
// either prefix. Hidden entries under other names are never ours to touch.
bool isWorkName(const QString& name) {
    if (name == kJournal || name == kJournalDraft)
        return true;
    for (const QString* prefix : {&kNewPrefix, &kOldPrefix})
        if (name.startsWith(*prefix) && isPuzzleName(name.mid(prefix->size())))
            return true;
    return false;
}

// Whether the entry at a work name can be one a run of this user left there. Staged files and the
// journal are regular files it made. An older file is whatever stood at a puzzle's name when the
// run set it aside: anything of this user's but a folder, or a file of the folder's owner, which
// this user could move; it is only ever renamed or removed, never opened. Another's file must
// have no second name, so that nobody can plant there a link to a file of the owner's.
bool leftByARun(const QString& name, const struct stat& st, uid_t folderOwner) {
    if (!name.startsWith(kOldPrefix))
        return S_ISREG(st.st_mode) && st.st_uid == geteuid();
    return !S_ISDIR(st.st_mode) &&
           (st.st_uid == geteuid() || (st.st_uid == folderOwner && st.st_nlink == 1));
}

// Every work name in the folder, each an entry a run can have left; false, before anything
// changed, when one is anything else.
bool listWork(Recovery& r, QStringList& found) {
    struct stat folder {};
    if (fstat(r.dir, &folder) != 0)
        return r.failed(QStringLiteral("."));
    const int listFd = openat(r.dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = listFd >= 0 ? fdopendir(listFd) : nullptr;
    if (!listing) {
        const int error = errno;
        if (listFd >= 0)
            ::close(listFd);
        return r.failed(QStringLiteral("."), error);
    }
    bool ok = true;
    while (const dirent* entry = readdir(listing)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (encoded(name) != QByteArray(entry->d_name) || !isWorkName(name))
            continue;
        struct stat st {};
        if (fstatat(r.dir, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            ok = r.failed(name);
            break;
        }
        if (!leftByARun(name, st, folder.st_uid)) {
            ok = r.notOurs(name);
            break;
        }
        found << name;
    }
    closedir(listing);
    return ok;
}

// The journal's text. It is opened without waiting and without following a link: what stands at
// its name now may not be what was listed.
bool readJournalText(Recovery& r, QByteArray& text) {
    const int fd = openat(r.dir, encoded(kJournal).constData(),
                          O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ELOOP ? r.notOurs(kJournal) : r.failed(kJournal);
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        ::close(fd);
        return r.notOurs(kJournal);
    }
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            return r.failed(kJournal, error);
        }
        if (got == 0 || text.size() > kMaxJournalBytes)
            break;
        text.append(buffer, got);
    }
    ::close(fd);
    return true;
}

// The journal's direction and lines. One that is cut short or damaged, or that names a file that
// is not a puzzle's, stops the run before anything changes.
bool readJournal(Recovery& r, bool& forward, std::vector<JournalLine>& lines) {
    QByteArray text;
    if (!readJournalText(r, text))
        return false;
    const QStringList rows = QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts);
    const bool sized = rows.value(0) == QLatin1String(kHeader);
    if (rows.size() < 3 || (!sized && rows[0] != QLatin1String(kFirstHeader)) ||
        rows.back() != u"end" || (rows[1] != u"forward" && rows[1] != u"back"))
        return r.failed(kJournal, EBADMSG);
    forward = rows[1] == u"forward";
    // "OLDER MOVED [SIZE] NAME": flags of 0 or 1, the size in the second version only.
    const int fixed = sized ? 3 : 2;
    for (qsizetype i = 2; i + 1 < rows.size(); ++i) {
        const QStringList fields = rows[i].split(u' ');
        bool number = !sized;
        const qint64 size = sized ? fields.value(2).toLongLong(&number) : -1;
        if (fields.size() <= fixed || !number || size < -1 ||
            (fields[0] != u"0" && fields[0] != u"1") || (fields[1] != u"0" && fields[1] != u"1"))
            return r.failed(kJournal, EBADMSG);
        const QString name = rows[i].section(u' ', fixed);
        if (!isPuzzleName(name)) {
            r.problem = QStringLiteral("Cannot use the folder %1: its journal %2 names %3, which "
                                       "is not one of a puzzle's files; nothing was changed")
                            .arg(r.shown, kJournal, name);
            return false;
        }
        lines.push_back({fields[0] == u"1", fields[1] == u"1", size, name});
    }
    return true;
}

// Whether the new file of `line` is whole: staged under its hidden name, or moved into place.
bool newFileWhole(int dir, const JournalLine& line) {
    struct stat st {};
    if (entryType(dir, kNewPrefix + line.name, &st) == 0 && entryType(dir, line.name, &st) == 0)
        return false;
    return S_ISREG(st.st_mode) && (line.size < 0 || st.st_size == line.size);
}

// Every new file into place, then the older ones away.
bool goForward(Recovery& r, const std::vector<JournalLine>& lines) {
    for (const JournalLine& line : lines)
        if (entryType(r.dir, kNewPrefix + line.name) != 0 &&
            !renameIn(r.dir, kNewPrefix + line.name, line.name))
            return r.failed(line.name);
    fsync(r.dir);
    for (const JournalLine& line : lines)
        if (!removeIn(r.dir, kOldPrefix + line.name))
            return r.failed(kOldPrefix + line.name);
    return true;
}

// Every older file back, every new one away. Turning from "forward", the journal says "back"
// first, so that a recovery killed half-way is finished the same way.
bool goBack(Recovery& r, bool turning, std::vector<JournalLine>& lines) {
    if (turning) {
        for (JournalLine& line : lines)
            line.moved =
                entryType(r.dir, kNewPrefix + line.name) == 0 && entryType(r.dir, line.name) != 0;
        if (const int error = writeJournal(r.dir, false, lines); error != 0)
            return r.failed(kJournal, error);
    }
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        if (!removeIn(r.dir, kNewPrefix + line->name))
            return r.failed(kNewPrefix + line->name);
        if (entryType(r.dir, kOldPrefix + line->name) != 0) {
            if (!renameIn(r.dir, kOldPrefix + line->name, line->name))
                return r.failed(line->name);
        } else if (!line->hadOlder && line->moved && !removeIn(r.dir, line->name)) {
            return r.failed(line->name);
        }
    }
    fsync(r.dir);
    return true;
}

// What a journal asks, done: forward only when every new file it names is there whole.
bool finishJournal(Recovery& r) {
    bool forward = false;
    std::vector<JournalLine> lines;
    if (!readJournal(r, forward, lines))
        return false;
    bool whole = forward;
    for (const JournalLine& line : lines)
        whole = whole && newFileWhole(r.dir, line);
    return whole ? goForward(r, lines) : goBack(r, forward, lines);
}

} // namespace

QString recover(int dir, const QString& shown) {
    Recovery r{dir, shown, {}};
    QStringList found;
    if (!listWork(r, found) || found.isEmpty())
        return r.problem;
    if (found.contains(kJournal) && !finishJournal(r))
        return r.problem;
    // What is left belongs to a run whose moves never began: older files go back, staged ones go.
    bool done = true;
    for (const QString& name : std::as_const(found))
        if (done && name.startsWith(kOldPrefix) && entryType(dir, name) != 0 &&
            !renameIn(dir, name, name.mid(kOldPrefix.size())))
            done = r.failed(name);
    for (const QString& name : std::as_const(found))
        if (done && !name.startsWith(kOldPrefix) && name != kJournal && !removeIn(dir, name))
            done = r.failed(name);
    if (done && !removeIn(dir, kJournal))
        r.failed(kJournal);
    fsync(dir);
    return r.problem;
}

} // namespace folder::work
