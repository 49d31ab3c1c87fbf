// SPDX-License-Identifier: MIT
#include "folder/stagedfolder.h"

#include "folder/interrupt.h"

#include <QDir>
#include <QFile>
#include <QIODevice>

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace folder {

namespace {

const QString kNewPrefix = QStringLiteral(".tilemaven-new.");
const QString kOldPrefix = QStringLiteral(".tilemaven-old.");
const QString kJournal = QStringLiteral(".tilemaven-journal");
const QString kJournalDraft = QStringLiteral(".tilemaven-journal.draft");
constexpr const char* kJournalHeader = "tilemaven journal 1";

QByteArray encoded(const QString& name) {
    return QFile::encodeName(name);
}

QString systemError(int error = errno) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString cannotWrite(const QString& path, const QString& reason) {
    return QStringLiteral("Could not write %1: %2").arg(QDir::toNativeSeparators(path), reason);
}

bool plainName(const QString& name) {
    return !name.isEmpty() && name != u"." && name != u".." && !name.contains(u'/') &&
           !name.contains(u'\\') && !name.contains(QChar(0));
}

// What stands at `name` in the folder, without following a link: 0 when nothing does.
mode_t entryType(int dir, const QString& name, struct stat* info = nullptr) {
    struct stat st {};
    if (fstatat(dir, encoded(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return 0;
    if (info)
        *info = st;
    return st.st_mode & S_IFMT;
}

bool exists(int dir, const QString& name) {
    return entryType(dir, name) != 0;
}

bool renameIn(int dir, const QString& from, const QString& to) {
    return renameat(dir, encoded(from).constData(), dir, encoded(to).constData()) == 0;
}

// Removes `name` if it is there; true when it is gone.
bool removeIn(int dir, const QString& name) {
    return unlinkat(dir, encoded(name).constData(), 0) == 0 || errno == ENOENT;
}

// The device handed out for one file: unbuffered writes straight to the descriptor, so that a
// short write (a full disk, a file size limit) is seen and remembered where it happens.
class StagedFile final : public QIODevice {
public:
    explicit StagedFile(int fd)
        : m_fd(fd) {
        QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    ~StagedFile() override { closeFile(); }

    int fd() const { return m_fd; }
    const QString& failure() const { return m_failure; }
    void closeFile() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    bool isSequential() const override { return true; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 len) override {
        qint64 done = 0;
        while (done < len) {
            const ssize_t put = ::write(m_fd, data + done, std::size_t(len - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0) {
                const QString why = put < 0 ? systemError() : QStringLiteral("the disk is full");
                if (m_failure.isEmpty())
                    m_failure = why;
                setErrorString(why);
                return done > 0 ? done : -1;
            }
            done += put;
        }
        return done;
    }

private:
    int m_fd;
    QString m_failure;
};

struct JournalLine {
    bool hadOlder = false;
    bool moved = false;
    QString name;
};

// Puts a folder back in order after a run that was killed outright. With a journal the newer set
// was complete: "forward" finishes its moves, "back" finishes putting the older files back.
// Without one the moves had not begun: older files set aside go back, staged ones go. Every step
// may already have been done by the run that died, so each is taken only where its start is there.
QString recover(int dir) {
    const auto failed = [](const QString& name) {
        return QStringLiteral("Could not finish an earlier run that was stopped part-way (%1): %2")
            .arg(name, systemError());
    };
    // Only a journal that is surely not there counts as none: one that cannot be read, is not
    // ours or is cut short stops the run before anything changes.
    QByteArray journal;
    const int fd = openat(dir, encoded(kJournal).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT)
        return failed(kJournal);
    if (fd >= 0) {
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
            ::close(fd);
            errno = EPERM;
            return failed(kJournal);
        }
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                ::close(fd);
                return failed(kJournal);
            }
            if (got == 0 || journal.size() > (1 << 20))
                break;
            journal.append(buffer, got);
        }
        ::close(fd);
    }
    const QStringList lines = QString::fromUtf8(journal).split(u'\n', Qt::SkipEmptyParts);
    if (fd >= 0) {
        if (lines.size() < 3 || lines[0] != QLatin1String(kJournalHeader) ||
            lines.back() != u"end" || (lines[1] != u"forward" && lines[1] != u"back")) {
            errno = EBADMSG;
            return failed(kJournal);
        }
        const bool forward = lines[1] == u"forward";
        std::vector<JournalLine> entries;
        for (qsizetype i = 2; i + 1 < lines.size(); ++i) {
            // "OLDER MOVED NAME": whether an older file was set aside, whether the new one had
            // moved into place when the journal was written.
            const QString& line = lines[i];
            const QString name = line.mid(4);
            if (line.size() <= 4 || (line[0] != u'0' && line[0] != u'1') || line[1] != u' ' ||
                (line[2] != u'0' && line[2] != u'1') || line[3] != u' ' || !plainName(name)) {
                errno = EBADMSG;
                return failed(kJournal);
            }
            entries.push_back({line[0] == u'1', line[2] == u'1', name});
        }
        for (const JournalLine& e : entries) {
            const QString fresh = kNewPrefix + e.name, older = kOldPrefix + e.name;
            if (forward) {
                if (exists(dir, fresh) && !renameIn(dir, fresh, e.name))
                    return failed(e.name);
                continue;
            }
            const bool staged = exists(dir, fresh);
            if (staged && !removeIn(dir, fresh))
                return failed(fresh);
            if (exists(dir, older)) {
                if (!renameIn(dir, older, e.name))
                    return failed(e.name);
            } else if (!e.hadOlder && e.moved && !removeIn(dir, e.name)) {
                return failed(e.name);
            }
        }
        for (const JournalLine& e : entries)
            if (!removeIn(dir, kOldPrefix + e.name))
                return failed(kOldPrefix + e.name);
        fsync(dir);
    }
    // Whatever is left of our own hidden entries belongs to a run whose moves never began.
    const int listFd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0)
        return failed(QStringLiteral("."));
    DIR* listing = fdopendir(listFd);
    if (!listing) {
        ::close(listFd);
        return failed(QStringLiteral("."));
    }
    QStringList olders, leftovers;
    while (const dirent* entry = readdir(listing)) {
        const QString name = QFile::decodeName(entry->d_name);
        // Only what a run of this user can have left: an entry of another user's in a shared
        // folder, or one whose name is not ours, is never moved or removed.
        struct stat st {};
        if (encoded(name) != QByteArray(entry->d_name) ||
            fstatat(dir, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_uid != geteuid())
            continue;
        if (name.startsWith(kOldPrefix) && plainName(name.mid(kOldPrefix.size())))
            olders << name;
        else if (name.startsWith(kNewPrefix) || name == kJournalDraft)
            leftovers << name;
    }
    closedir(listing);
    for (const QString& older : olders)
        if (!renameIn(dir, older, older.mid(kOldPrefix.size())))
            return failed(older);
    for (const QString& name : leftovers)
        if (!removeIn(dir, name))
            return failed(name);
    if (exists(dir, kJournal) && !removeIn(dir, kJournal))
        return failed(kJournal);
    if (!olders.isEmpty() || !leftovers.isEmpty() || !journal.isEmpty())
        fsync(dir);
    return {};
}

// Files in an append-only or immutable folder can be made but never moved or removed again: any
// temporary would stay behind, so such a folder is refused before anything is made in it.
bool appendOnly(int dir) {
    int flags = 0;
    if (ioctl(dir, FS_IOC_GETFLAGS, &flags) != 0)
        return false;
    return (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
}

} // namespace

struct StagedFolder::Entry {
    QString name;
    QString target; // the full path, for messages
    std::unique_ptr<StagedFile> device;
    QString problem;       // why it cannot take its place, once known
    bool hadOlder = false; // set when the commit begins
    mode_t olderMode = 0;  // an older regular file's permissions, which the new one keeps
    bool olderRegular = false;

    QString check(int dir) {
        if (!problem.isEmpty())
            return problem;
        if (!device->failure().isEmpty())
            return cannotWrite(target, device->failure());
        struct stat st {};
        const mode_t type = entryType(dir, name, &st);
        if (type == S_IFDIR)
            return cannotWrite(target, QStringLiteral("a folder stands at that name"));
        hadOlder = type != 0;
        olderRegular = type == S_IFREG;
        olderMode = st.st_mode & 0777;
        if (olderRegular && faccessat(dir, encoded(name).constData(), W_OK, AT_EACCESS) != 0)
            return cannotWrite(target, systemError());
        return {};
    }
};

StagedFolder::StagedFolder(QString folder)
    : m_folder(std::move(folder)) {
    if (m_folder.isEmpty()) {
        m_folderProblem = QStringLiteral("No folder was given");
        return;
    }
    const QString shown = QDir::toNativeSeparators(m_folder);
    m_dir = ::open(encoded(m_folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_dir < 0) {
        const int error = errno;
        if (error == ENOENT && m_folder.contains(QChar::ReplacementCharacter))
            m_folderProblem = QStringLiteral("The folder %1 cannot be used: its name is not valid "
                                             "in the system's encoding (UTF-8)")
                                  .arg(shown);
        else if (error == ENOENT)
            m_folderProblem = QStringLiteral("The folder %1 does not exist").arg(shown);
        else if (error == ENOTDIR)
            m_folderProblem = QStringLiteral("%1 is not a folder").arg(shown);
        else
            m_folderProblem =
                QStringLiteral("Could not open the folder %1: %2").arg(shown, systemError(error));
        return;
    }
    // One run at a time: a second one waits here until the first lets go.
    while (flock(m_dir, LOCK_EX) != 0) {
        if (errno != EINTR || interrupted()) {
            m_folderProblem =
                interrupted()
                    ? QStringLiteral("Interrupted while waiting for the folder %1").arg(shown)
                    : QStringLiteral("Could not lock the folder %1: %2").arg(shown, systemError());
            return;
        }
    }
    if (appendOnly(m_dir)) {
        m_folderProblem = QStringLiteral("The folder %1 is append-only or immutable: files in it "
                                         "cannot be replaced")
                              .arg(shown);
        return;
    }
    if (const QString problem = recover(m_dir); !problem.isEmpty())
        m_folderProblem = QStringLiteral("%1 in %2").arg(problem, shown);
}

StagedFolder::~StagedFolder() {
    discard();
    if (m_dir >= 0)
        ::close(m_dir); // lets go of the lock
}

bool StagedFolder::isHiddenWork(const QString& name) {
    return name.startsWith(kNewPrefix) || name.startsWith(kOldPrefix) || name == kJournal ||
           name == kJournalDraft;
}

QIODevice* StagedFolder::open(const QString& name) {
    if (!m_folderProblem.isEmpty()) {
        m_error = m_folderProblem;
        return nullptr;
    }
    auto entry = std::make_unique<Entry>();
    entry->name = name;
    entry->target = QDir(m_folder).filePath(name);
    if (!plainName(name)) {
        entry->problem = cannotWrite(entry->target, QStringLiteral("not a plain file name"));
    } else {
        for (const auto& other : m_entries)
            if (other->name == name)
                entry->problem = cannotWrite(entry->target, QStringLiteral("started twice"));
    }
    if (entry->problem.isEmpty() && entryType(m_dir, name) == S_IFREG &&
        faccessat(m_dir, encoded(name).constData(), W_OK, AT_EACCESS) != 0)
        entry->problem = cannotWrite(entry->target, systemError());
    if (entry->problem.isEmpty()) {
        const QByteArray staged = encoded(kNewPrefix + name);
        // A leftover of this very name can only be ours: the lock is held and recovery has run.
        unlinkat(m_dir, staged.constData(), 0);
        const int fd = openat(m_dir, staged.constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0)
            entry->device = std::make_unique<StagedFile>(fd);
        else
            entry->problem = cannotWrite(entry->target, systemError());
    }
    QIODevice* device = entry->device.get();
    if (!device)
        m_error = entry->problem;
    // Kept even when it failed, so that a later commit() cannot succeed without it.
    m_entries.push_back(std::move(entry));
    return device;
}

bool StagedFolder::write(const QString& name, const QByteArray& bytes) {
    QIODevice* device = open(name);
    if (!device)
        return false;
    if (device->write(bytes) != bytes.size()) {
        m_error = m_entries.back()->check(m_dir);
        if (m_error.isEmpty())
            m_error = cannotWrite(m_entries.back()->target, device->errorString());
        return false;
    }
    return true;
}

bool StagedFolder::fail(const QString& error) {
    m_error = error;
    discard();
    return false;
}

void StagedFolder::step() {
    if (m_stepObserver)
        m_stepObserver();
}

bool StagedFolder::commit() {
    if (!m_folderProblem.isEmpty())
        return fail(m_folderProblem);
    // Every check that can be made up front is made before anything in the folder changes.
    for (const auto& entry : m_entries)
        if (const QString problem = entry->check(m_dir); !problem.isEmpty())
            return fail(problem);
    for (const auto& entry : m_entries) {
        StagedFile& file = *entry->device;
        if (entry->olderRegular)
            fchmod(file.fd(), entry->olderMode);
        if (fsync(file.fd()) != 0)
            return fail(cannotWrite(entry->target, systemError()));
        file.closeFile();
    }
    if (interrupted())
        return fail(QStringLiteral("Interrupted before anything was written"));

    std::vector<int> kept;
    if (!keepOlder(kept))
        return false;
    if (!writeJournal(true)) {
        QString error = m_error;
        if (!putBack(kept))
            error += QStringLiteral("; some older files are left under hidden names, which the "
                                    "next run into the folder puts back");
        return fail(error);
    }
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const Entry& entry = *m_entries[i];
        if (!renameIn(m_dir, kNewPrefix + entry.name, entry.name)) {
            QString error = cannotWrite(entry.target, systemError());
            if (!rollBack(i)) {
                // Left for the next run, which finishes what the journal says; the staged files
                // it needs must stay.
                error += QStringLiteral("; the folder could not be put back as it was and will "
                                        "be by the next run into it");
                m_keepStaged = true;
            }
            return fail(error);
        }
        step();
    }
    fsync(m_dir);
    bool olderGone = true;
    for (const auto& entry : m_entries)
        if (entry->hadOlder) {
            olderGone = removeIn(m_dir, kOldPrefix + entry->name) && olderGone;
            step();
        }
    // An older file left behind with the journal gone would be put back by the next run over the
    // new one: the journal stays until they are all gone, and the next run finishes the job.
    if (olderGone)
        removeIn(m_dir, kJournal);
    fsync(m_dir);
    step();
    m_entries.clear();
    m_error.clear();
    return true;
}

// Sets every older file aside. Moving it is the same right as replacing it (a shared folder may
// let others add files but not remove ours), so this also finds, before anything new is in
// place, every name that the run could not replace.
bool StagedFolder::keepOlder(std::vector<int>& kept) {
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const Entry& entry = *m_entries[i];
        if (!entry.hadOlder)
            continue;
        if (!renameIn(m_dir, entry.name, kOldPrefix + entry.name)) {
            QString error = cannotWrite(entry.target, systemError());
            if (!putBack(kept))
                error += QStringLiteral("; some older files are left under hidden names, which "
                                        "the next run into the folder puts back");
            return fail(error);
        }
        kept.push_back(int(i));
        step();
    }
    return true;
}

bool StagedFolder::putBack(const std::vector<int>& kept) {
    bool complete = true;
    for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
        const Entry& entry = *m_entries[std::size_t(*it)];
        complete = renameIn(m_dir, kOldPrefix + entry.name, entry.name) && complete;
        step();
    }
    return complete;
}

// The journal is written whole under another name and then renamed, so that it is either there
// complete or not at all.
bool StagedFolder::writeJournal(bool forward, std::size_t moved) {
    QByteArray text = kJournalHeader;
    text += forward ? "\nforward\n" : "\nback\n";
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const Entry& entry = *m_entries[i];
        text += (entry.hadOlder ? "1 " : "0 ") + QByteArray(i < moved ? "1 " : "0 ") +
                encoded(entry.name) + '\n';
    }
    text += "end\n";
    const QByteArray draft = encoded(kJournalDraft);
    unlinkat(m_dir, draft.constData(), 0);
    const int fd = openat(m_dir, draft.constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool written = fd >= 0;
    for (qsizetype at = 0; written && at < text.size();) {
        const ssize_t put = ::write(fd, text.constData() + at, std::size_t(text.size() - at));
        if (put < 0 && errno == EINTR)
            continue;
        written = put > 0;
        at += put > 0 ? put : 0;
    }
    written = written && fsync(fd) == 0;
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    if (written && renameat(m_dir, draft.constData(), m_dir, encoded(kJournal).constData()) == 0) {
        fsync(m_dir); // once it is in place, the journal says what it says
        step();
        return true;
    }
    m_error = cannotWrite(QDir(m_folder).filePath(kJournal), systemError(written ? errno : error));
    unlinkat(m_dir, draft.constData(), 0);
    return false;
}

// Undoes the first `moved` moves and sets every older file back in its place. The journal says
// "back" first, so that a process killed half-way is finished the same way by the next run.
bool StagedFolder::rollBack(std::size_t moved) {
    // Without a journal that says "back", putting files back could not be finished after a kill:
    // the forward journal stays, and the next run finishes the moves instead.
    if (!writeJournal(false, moved))
        return false;
    bool complete = true;
    for (std::size_t i = m_entries.size(); i-- > 0;) {
        const Entry& entry = *m_entries[i];
        if (i >= moved)
            complete = removeIn(m_dir, kNewPrefix + entry.name) && complete;
        if (entry.hadOlder)
            complete = renameIn(m_dir, kOldPrefix + entry.name, entry.name) && complete;
        else if (i < moved)
            complete = removeIn(m_dir, entry.name) && complete;
        step();
    }
    // Only a complete rollback may forget the journal: otherwise the next run finishes it.
    if (complete)
        removeIn(m_dir, kJournal);
    fsync(m_dir);
    return complete;
}

void StagedFolder::discard() {
    for (auto& entry : m_entries) {
        if (entry->device) {
            entry->device.reset();
            if (!m_keepStaged)
                removeIn(m_dir, kNewPrefix + entry->name);
        }
    }
    m_entries.clear();
    m_keepStaged = false;
}

QStringList StagedFolder::names() const {
    QStringList out;
    for (const auto& entry : m_entries)
        out << entry->name;
    return out;
}

} // namespace folder
