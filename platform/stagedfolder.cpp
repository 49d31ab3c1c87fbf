#include "stagedfolder.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace platform {

namespace {

// The device handed out for one file. A short write (a full disk, a file size limit) leaves no
// error on a QFileDevice, and a buffered one may not even surface when QSaveFile flushes, so the
// temporary file is written unbuffered through this, which remembers any write that fell short.
class RecordingDevice final : public QIODevice {
public:
    explicit RecordingDevice(QSaveFile& file)
        : m_file(file) {
        QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }

    bool fellShort() const { return m_fellShort; }
    QString fileError() const {
        return m_file.error() != QFileDevice::NoError ? m_file.errorString() : QString();
    }

    bool seek(qint64 pos) override { return QIODevice::seek(pos) && m_file.seek(pos); }
    qint64 size() const override { return m_file.size(); }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 len) override {
        const qint64 written = m_file.write(data, len);
        if (written != len) {
            m_fellShort = true;
            setErrorString(fileError().isEmpty() ? QStringLiteral("not all of it could be written")
                                                 : fileError());
        }
        return written;
    }

private:
    QSaveFile& m_file;
    bool m_fellShort = false;
};

QString cannotWrite(const QString& path, const QString& reason) {
    return QStringLiteral("Could not write %1: %2").arg(QDir::toNativeSeparators(path), reason);
}

// Empty when `folder` is an existing directory, else why not.
QString folderProblem(const QString& folder) {
    if (folder.isEmpty())
        return QStringLiteral("No folder was given");
    const QFileInfo info(folder);
    if (!info.exists())
        return QStringLiteral("The folder %1 does not exist").arg(QDir::toNativeSeparators(folder));
    if (!info.isDir())
        return QStringLiteral("%1 is not a folder").arg(QDir::toNativeSeparators(folder));
    return {};
}

} // namespace

struct StagedFolder::Entry {
    QString name;
    QString target;
    std::unique_ptr<QSaveFile> file; // null when it could not be started
    std::unique_ptr<RecordingDevice> device;
    QString problem; // why it cannot take its place, once known

    // Empty when the file can take its place as far as can be told before moving anything.
    QString check() const {
        if (!problem.isEmpty())
            return problem;
        if (QFileInfo(target).isDir())
            return cannotWrite(target, QStringLiteral("a folder stands at that name"));
        if (const QString error = device->fileError(); !error.isEmpty())
            return cannotWrite(target, error);
        if (device->fellShort())
            return cannotWrite(target, device->errorString());
        return {};
    }
};

StagedFolder::StagedFolder(QString folder)
    : m_folder(std::move(folder)) {}

StagedFolder::~StagedFolder() {
    discard();
}

QIODevice* StagedFolder::open(const QString& name) {
    if (const QString problem = folderProblem(m_folder); !problem.isEmpty()) {
        m_error = problem;
        return nullptr;
    }
    auto entry = std::make_unique<Entry>();
    entry->name = name;
    entry->target = QDir(m_folder).filePath(name);
    if (name.isEmpty() || name == u"." || name == u".." || name.contains(u'/') ||
        name.contains(u'\\')) {
        entry->problem = cannotWrite(entry->target, QStringLiteral("not a plain file name"));
    } else {
        for (const auto& other : m_entries)
            if (other->name == name)
                entry->problem = cannotWrite(entry->target, QStringLiteral("started twice"));
    }
    if (entry->problem.isEmpty()) {
        auto file = std::make_unique<QSaveFile>(entry->target);
        // Writing straight into the target would break the promise that old files stay intact.
        file->setDirectWriteFallback(false);
        if (file->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            entry->device = std::make_unique<RecordingDevice>(*file);
            entry->file = std::move(file);
        } else {
            entry->problem = cannotWrite(entry->target, file->errorString());
        }
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
        m_error = m_entries.back()->check();
        return false;
    }
    return true;
}

bool StagedFolder::commit() {
    // Every check that can be made up front is made before the first file moves, so that most
    // failures leave the folder exactly as it was.
    QString problem = folderProblem(m_folder);
    for (auto it = m_entries.begin(); problem.isEmpty() && it != m_entries.end(); ++it)
        problem = (*it)->check();
    if (!problem.isEmpty()) {
        m_error = problem;
        discard();
        return false;
    }
    for (const auto& entry : m_entries) {
        entry->device.reset();
        if (!entry->file->commit()) {
            m_error = cannotWrite(entry->target, entry->file->errorString());
            discard();
            return false;
        }
        entry->file.reset();
    }
    m_entries.clear();
    m_error.clear();
    return true;
}

void StagedFolder::discard() {
    // A QSaveFile destroyed uncommitted removes its temporary file; each device goes before its
    // file.
    for (auto& entry : m_entries)
        entry->device.reset();
    m_entries.clear();
}

QStringList StagedFolder::names() const {
    QStringList out;
    for (const auto& entry : m_entries)
        out << entry->name;
    return out;
}

} // namespace platform
