#include "stagedfolder.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace platform {

struct StagedFolder::Entry {
    QString name;
    QString target;
    std::unique_ptr<QSaveFile> file; // null when it could not be started
    QString openError;
};

namespace {

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
        entry->openError = cannotWrite(entry->target, QStringLiteral("not a plain file name"));
    } else {
        for (const auto& other : m_entries)
            if (other->name == name)
                entry->openError = cannotWrite(entry->target, QStringLiteral("started twice"));
    }
    if (entry->openError.isEmpty()) {
        auto file = std::make_unique<QSaveFile>(entry->target);
        // Writing straight into the target would break the promise that old files stay intact.
        file->setDirectWriteFallback(false);
        if (file->open(QIODevice::WriteOnly))
            entry->file = std::move(file);
        else
            entry->openError = cannotWrite(entry->target, file->errorString());
    }
    QIODevice* device = entry->file.get();
    if (!device)
        m_error = entry->openError;
    // Kept even when it failed, so that a later commit() cannot succeed without it.
    m_entries.push_back(std::move(entry));
    return device;
}

bool StagedFolder::write(const QString& name, const QByteArray& bytes) {
    QIODevice* device = open(name);
    if (!device)
        return false;
    if (device->write(bytes) != bytes.size()) {
        m_error = cannotWrite(m_entries.back()->target, device->errorString());
        return false;
    }
    return true;
}

bool StagedFolder::commit() {
    // Every check that can be made up front is made before the first file moves, so that most
    // failures leave the folder exactly as it was.
    if (const QString problem = folderProblem(m_folder); !problem.isEmpty()) {
        m_error = problem;
        discard();
        return false;
    }
    for (const auto& entry : m_entries) {
        QString problem = entry->openError;
        if (problem.isEmpty() && QFileInfo(entry->target).isDir())
            problem = cannotWrite(entry->target, QStringLiteral("a folder stands at that name"));
        if (problem.isEmpty() && entry->file->error() != QFileDevice::NoError)
            problem = cannotWrite(entry->target, entry->file->errorString());
        if (!problem.isEmpty()) {
            m_error = problem;
            discard();
            return false;
        }
    }
    for (const auto& entry : m_entries) {
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
    // A QSaveFile that is destroyed uncommitted removes its temporary file.
    m_entries.clear();
}

QStringList StagedFolder::names() const {
    QStringList out;
    for (const auto& entry : m_entries)
        out << entry->name;
    return out;
}

} // namespace platform
