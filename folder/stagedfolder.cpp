// SPDX-License-Identifier: MIT
#include "folder/stagedfolder.h"

#include "folder/interrupt.h"
#include "folder/recovery.h"

#include <QDir>
#include <QIODevice>

#include <cerrno>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace folder {

using namespace work;

namespace {

QString cannotWrite(const QString& path, const QString& reason) {
    return QStringLiteral("Could not write %1: %2").arg(QDir::toNativeSeparators(path), reason);
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
    qint64 size = -1;      // the new file's, once it is complete
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

    // The staged file on disk whole, with the older one's permissions, and its size noted: the
    // journal's proof that it is whole.
    QString finish() {
        if (olderRegular)
            fchmod(device->fd(), olderMode);
        struct stat st {};
        if (fsync(device->fd()) != 0 || fstat(device->fd(), &st) != 0)
            return cannotWrite(target, systemError());
        size = st.st_size;
        device->closeFile();
        return {};
    }
};

namespace {

// Whether the folder open as `dir` is still the one at `path`: a run that waited for it may find
// it removed, or another folder made in its place.
bool stillAt(int dir, const QByteArray& path) {
    struct stat opened {
    }, now{};
    return fstat(dir, &opened) == 0 && stat(path.constData(), &now) == 0 &&
           opened.st_dev == now.st_dev && opened.st_ino == now.st_ino;
}

// How often a run makes again a folder that went while it waited, before it gives up.
constexpr int kRemadeAtMost = 20;

} // namespace

StagedFolder::StagedFolder(QString folder, Missing missing)
    : m_folder(std::move(folder)) {
    if (m_folder.isEmpty()) {
        m_folderProblem = QStringLiteral("No folder was given");
        return;
    }
    const QString shown = QDir::toNativeSeparators(m_folder);
    // A run that made the folder and failed takes it away again, perhaps while this one waits for
    // it, or just before this one opens it: then it is made again, as this run would have made it
    // had it found it missing at its start.
    for (int remade = 0;; ++remade) {
        const int failure = openLocked(shown);
        if (failure == 0 && stillAt(m_dir, encoded(m_folder)))
            break;
        // Not opened: only a folder that is not there, for a run told to make it, is made.
        if (failure != 0 && (failure != ENOENT || missing == Missing::Refuse ||
                             m_folder.contains(QChar::ReplacementCharacter)))
            return;
        if (failure == 0)
            ::close(m_dir);
        m_dir = -1;
        if (remade == kRemadeAtMost || !QDir().mkpath(m_folder)) {
            m_folderProblem =
                failure == 0
                    ? QStringLiteral("The folder %1 was taken away while this run waited for it")
                          .arg(shown)
                    : QStringLiteral("Could not make the folder %1").arg(shown);
            return;
        }
        m_folderProblem.clear();
    }
    if (m_dir < 0)
        return;
    if (appendOnly(m_dir)) {
        m_folderProblem = QStringLiteral("The folder %1 is append-only or immutable: files in it "
                                         "cannot be replaced")
                              .arg(shown);
        return;
    }
    m_folderProblem = recover(m_dir, shown);
}

int StagedFolder::openLocked(const QString& shown) {
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
        return error;
    }
    // One run at a time: a second one waits here until the first lets go.
    while (flock(m_dir, LOCK_EX) != 0) {
        if (errno != EINTR || interrupted()) {
            m_folderProblem =
                interrupted()
                    ? QStringLiteral("Interrupted while waiting for the folder %1").arg(shown)
                    : QStringLiteral("Could not lock the folder %1: %2").arg(shown, systemError());
            ::close(m_dir);
            m_dir = -1;
            return -1;
        }
    }
    return 0;
}

bool removeUnusedFolder(const QString& folder) {
    const QByteArray path = encoded(folder);
    const int dir = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0)
        return false;
    // Taken without waiting: a run that holds the lock, or gets it first, goes on with the folder.
    const bool removed =
        flock(dir, LOCK_EX | LOCK_NB) == 0 && stillAt(dir, path) && rmdir(path.constData()) == 0;
    ::close(dir);
    return removed;
}

bool isPuzzleName(const QString& name) {
    if (name == u"white.jpg" || name == u"index.html")
        return true;
    if (!name.startsWith(u"Image") || !name.endsWith(u".jpg"))
        return false;
    const QStringView digits = QStringView(name).mid(5, name.size() - 9);
    bool number = false;
    const int k = digits.toInt(&number);
    // "Image" + k + ".jpg" as the pieces are named: decimal, no sign, no leading zero.
    return number && k >= 0 && k < kMaxPieces && digits == QString::number(k);
}

StagedFolder::~StagedFolder() {
    discard();
    if (m_dir >= 0)
        ::close(m_dir); // lets go of the lock
}

QIODevice* StagedFolder::open(const QString& name) {
    if (!m_folderProblem.isEmpty()) {
        m_error = m_folderProblem;
        return nullptr;
    }
    auto entry = std::make_unique<Entry>();
    entry->name = name;
    entry->target = QDir(m_folder).filePath(name);
    // Recovery acts on a puzzle's names only, so nothing else may be staged.
    if (!isPuzzleName(name)) {
        entry->problem = cannotWrite(entry->target, QStringLiteral("not one of a puzzle's files"));
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
        // Recovery has left nothing at this name, or the run was refused: O_EXCL meets only what
        // another user has made since, and fails on it.
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
    for (const auto& entry : m_entries)
        if (const QString problem = entry->finish(); !problem.isEmpty())
            return fail(problem);
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

bool StagedFolder::writeJournal(bool forward, std::size_t moved) {
    std::vector<JournalLine> lines;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const Entry& entry = *m_entries[i];
        lines.push_back({entry.hadOlder, i < moved, entry.size, entry.name});
    }
    if (const int error = work::writeJournal(m_dir, forward, lines); error != 0) {
        m_error = cannotWrite(QDir(m_folder).filePath(kJournal), systemError(error));
        return false;
    }
    step();
    return true;
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

} // namespace folder
