// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class QIODevice;

namespace folder {

// The most pieces a puzzle has (a grid of 12 x 12): its pieces are Image0.jpg to Image143.jpg.
inline constexpr int kMaxPieces = 144;

// Whether `name` is one of a puzzle's own files: "Image" + k + ".jpg" for k from 0 to
// kMaxPieces - 1 (decimal, no leading zero), "white.jpg" or "index.html". Nothing else is ever
// staged, moved or recovered.
bool isPuzzleName(const QString& name);

// Removes `folder` when it is empty and no StagedFolder holds it, for a run that made the folder
// and failed. A run waiting for the folder then makes it again. True when it was removed.
bool removeUnusedFolder(const QString& folder);

// Writes a set of a puzzle's files into one folder so that nothing shows under a final name until
// every file is complete, and then all of them show at once or none does.
//
// - Each file is written to a hidden temporary beside its target (".tilemaven-new.NAME"), opened
//   without following links; commit() moves them into place. An entry of any kind at a target
//   name (a symbolic link, a FIFO) is replaced by the new regular file: nothing outside the folder
//   is ever written or created through it. A folder at a target name is a failure.
// - Before the first move, every older file is set aside under ".tilemaven-old.NAME" and a journal
//   (".tilemaven-journal") names every staged file with its size and says that the moves have
//   begun. A failure during the moves puts every older file back; after the last move the older
//   files are removed.
// - A process killed outright may leave those hidden files behind. The next StagedFolder on the
//   same folder finds them before it writes anything. The newer set is finished only when the
//   journal says "forward" and every file it names is there whole; otherwise the older files go
//   back and the staged ones go. Recovery acts on a puzzle's names only: a journal naming another
//   file, or at a hidden name anything that a run of this user cannot have left there, stops the
//   run with nothing changed (nothing there is opened in a way that could wait); hidden entries
//   under other names are never touched. A set-aside older entry may be the user's own link or
//   FIFO, which is only ever renamed or removed.
// - Only one StagedFolder at a time may work on a folder, across processes: the constructor waits
//   for an advisory lock on the folder itself (no file is made for it). When the folder it waited
//   for was taken away meanwhile, it makes the folder again.
class StagedFolder {
public:
    // What a folder that is not there when the run opens it is met with. One taken away while the
    // run waited for its lock is made again either way.
    enum class Missing {
        Refuse, // the run fails: the folder was chosen as it stood
        Make,   // it is made, parents and all: a folder named for the run to make
    };
    explicit StagedFolder(QString folder, Missing missing = Missing::Refuse);
    ~StagedFolder(); // discards whatever was not committed, then lets go of the folder
    StagedFolder(const StagedFolder&) = delete;
    StagedFolder& operator=(const StagedFolder&) = delete;

    // Starts the file `name` (one of a puzzle's names) and returns the device to write it to, or
    // nullptr with errorString() set. The device stays valid until commit() or discard().
    QIODevice* open(const QString& name);
    // Convenience: the whole of `name` in one go.
    bool write(const QString& name, const QByteArray& bytes);

    // Checks that every started file can take its place (no folder in the way, no write error so
    // far, no interruption asked for), then moves them all into place, all or nothing.
    bool commit();
    void discard();

    QString errorString() const { return m_error; }

    // Called after each change that commit() makes to the folder; lets a test stop the process at
    // every step of the way.
    void setStepObserver(std::function<void()> observer) { m_stepObserver = std::move(observer); }

private:
    struct Entry;
    // 0 once the folder is open and locked; else the error of opening it, or -1 when it could not
    // be locked, with the problem set and nothing held.
    int openLocked(const QString& shown);
    bool fail(const QString& error);
    void step();
    bool keepOlder(std::vector<int>& kept);
    bool putBack(const std::vector<int>& kept);
    bool writeJournal(bool forward, std::size_t moved = 0);
    bool rollBack(std::size_t moved);

    QString m_folder;
    QString m_error;
    QString m_folderProblem; // set when the folder cannot be used at all
    int m_dir = -1;          // the folder, opened once; every name is taken relative to it
    std::vector<std::unique_ptr<Entry>> m_entries;
    std::function<void()> m_stepObserver;
    bool m_keepStaged = false; // a failed rollback leaves the staged files for the next run
};

} // namespace folder
