// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <vector>

namespace platform {

// The framework's registry of document file types: what an open dialog's filter can name.
class FileTypeRegistry {
public:
    struct Entry {
        QString name, macCreator, macType, extensions;
    };
    virtual ~FileTypeRegistry() = default;
    // The registry in use: the one installed with install(), else the program's own.
    static FileTypeRegistry& instance();
    // Puts `registry` in the place of the program's own (nullptr: back to it); it must outlive
    // every file type that registers with it. Tests install one that notes every call.
    static void install(FileTypeRegistry* registry);

    virtual void registerType(const QString& name, const QString& macCreator,
                              const QString& macType, const QString& extensions);
    virtual void deregisterType(const QString& name);
    bool contains(const QString& name) const;
    const Entry* find(const QString& name) const;
    std::vector<Entry> entries() const; // in order of registration

    // Turns a filter such as "image/jpeg;image/gif" into open-dialog name filters built from the
    // registered extensions, e.g. "image/jpeg (*.jpe *.jpeg *.jpg)", led by one filter for all of
    // them when there are several. Unknown names are skipped.
    QStringList nameFilters(const QString& typeList) const;

private:
    std::vector<Entry> m_entries;
};

class FileType {
public:
    FileType() = default;
    ~FileType(); // Deregister
    FileType(const FileType&) = delete;
    FileType& operator=(const FileType&) = delete;

    void Register();
    void Deregister();

    QString Name() const { return mName; }
    QString MacCreator() const { return mMacCreator; }
    QString MacType() const { return mMacType; }
    QString Extensions() const { return mExtension; }
    void setName(const QString& v);
    void setMacCreator(const QString& v);
    void setMacType(const QString& v);
    void setExtensions(const QString& v);

    bool isRegistered() const { return mRegistered; }
    // No type has an icon.
    QImage Icon() const { return {}; }

    // The type used as a string: registers it and gives its name.
    explicit operator QString();

private:
    QString mName, mMacCreator, mMacType, mExtension;
    bool mRegistered = false;
};

// type + type, type + string, string + type: each registers the types involved and joins the
// names with ";".
QString operator+(FileType& left, FileType& right);
QString operator+(FileType& left, const QString& right);
QString operator+(const QString& left, FileType& right);

struct FileTypes {
    static std::shared_ptr<FileType> pImageJpeg;
    static std::shared_ptr<FileType> pImageGif;
    static std::shared_ptr<FileType> pTextPlain;
    static void Initialize();
    static void Release(); // JPEG, then GIF, then text
};

void InitFileTypes();

} // namespace platform
