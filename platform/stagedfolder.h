#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class QIODevice;
class QSaveFile;

namespace platform {

// Writes a set of files into one folder so that nothing shows under a final name until every file
// is complete: each goes to a temporary file beside its target, and commit() moves them all into
// place. Until then, and after any failure, older files of the same names stay as they were.
class StagedFolder {
public:
    explicit StagedFolder(QString folder);
    ~StagedFolder(); // discards whatever was not committed
    StagedFolder(const StagedFolder&) = delete;
    StagedFolder& operator=(const StagedFolder&) = delete;

    const QString& folder() const { return m_folder; }

    // Starts the file `name` (no path separators) and returns the device to write it to, or
    // nullptr with errorString() set. The device stays valid until commit() or discard().
    QIODevice* open(const QString& name);
    // Convenience: the whole of `name` in one go.
    bool write(const QString& name, const QByteArray& bytes);

    // Checks that every started file can take its place (no directory in the way, no write error
    // so far), then moves them all into place in the order they were started.
    bool commit();
    void discard();

    QString errorString() const { return m_error; }
    QStringList names() const; // started files, in order

private:
    struct Entry;
    QString m_folder;
    QString m_error;
    std::vector<std::unique_ptr<Entry>> m_entries;
};

} // namespace platform
