// SPDX-License-Identifier: MIT
#include "platform/filetypes.h"

#include <algorithm>

namespace platform {

namespace {

FileTypeRegistry*& installedRegistry() {
    static FileTypeRegistry* installed = nullptr;
    return installed;
}

} // namespace

FileTypeRegistry& FileTypeRegistry::instance() {
    if (FileTypeRegistry* installed = installedRegistry())
        return *installed;
    // Never destroyed: file types held in statics deregister during exit, after function-local
    // statics may already be gone.
    static auto* registry = new FileTypeRegistry;
    return *registry;
}

void FileTypeRegistry::install(FileTypeRegistry* registry) {
    installedRegistry() = registry;
}

void FileTypeRegistry::registerType(const QString& name, const QString& macCreator,
                                    const QString& macType, const QString& extensions) {
    std::erase_if(m_entries, [&](const Entry& e) { return e.name == name; });
    m_entries.push_back({name, macCreator, macType, extensions});
}

void FileTypeRegistry::deregisterType(const QString& name) {
    std::erase_if(m_entries, [&](const Entry& e) { return e.name == name; });
}

bool FileTypeRegistry::contains(const QString& name) const {
    return find(name) != nullptr;
}

const FileTypeRegistry::Entry* FileTypeRegistry::find(const QString& name) const {
    auto it = std::find_if(m_entries.begin(), m_entries.end(),
                           [&](const Entry& e) { return e.name == name; });
    return it == m_entries.end() ? nullptr : &*it;
}

std::vector<FileTypeRegistry::Entry> FileTypeRegistry::entries() const {
    return m_entries;
}

QStringList FileTypeRegistry::nameFilters(const QString& typeList) const {
    QStringList filters;
    QStringList labels, everyPattern;
    for (const QString& name : typeList.split(u';', Qt::SkipEmptyParts)) {
        const Entry* entry = find(name.trimmed());
        if (!entry)
            continue;
        QStringList patterns;
        for (QString ext : entry->extensions.split(u';', Qt::SkipEmptyParts)) {
            ext = ext.trimmed();
            if (ext.startsWith(u'.'))
                ext.remove(0, 1);
            if (!ext.isEmpty())
                patterns << QStringLiteral("*.") + ext;
        }
        if (patterns.isEmpty())
            continue;
        filters << QStringLiteral("%1 (%2)").arg(entry->name, patterns.join(u' '));
        labels << entry->name;
        everyPattern << patterns;
    }
    // Offered first, so that every file of the named types shows without switching filters.
    if (filters.size() > 1)
        filters.prepend(QStringLiteral("%1 (%2)").arg(labels.join(u';'), everyPattern.join(u' ')));
    return filters;
}

FileType::~FileType() {
    Deregister();
}

void FileType::Register() {
    if (mRegistered)
        return;
    FileTypeRegistry::instance().registerType(mName, mMacCreator, mMacType, mExtension);
    mRegistered = true;
}

void FileType::Deregister() {
    if (!mRegistered)
        return;
    FileTypeRegistry::instance().deregisterType(mName);
    mRegistered = false;
}

void FileType::setName(const QString& v) {
    Deregister();
    mName = v;
}

void FileType::setMacCreator(const QString& v) {
    Deregister();
    mMacCreator = v;
}

void FileType::setMacType(const QString& v) {
    Deregister();
    mMacType = v;
}

void FileType::setExtensions(const QString& v) {
    Deregister();
    mExtension = v;
}

FileType::operator QString() {
    Register();
    return mName;
}

QString operator+(FileType& left, FileType& right) {
    left.Register();
    right.Register();
    return left.Name() + u';' + right.Name();
}

QString operator+(FileType& left, const QString& right) {
    left.Register();
    return left.Name() + u';' + right;
}

QString operator+(const QString& left, FileType& right) {
    right.Register();
    return left + u';' + right.Name();
}

std::shared_ptr<FileType> FileTypes::pImageJpeg;
std::shared_ptr<FileType> FileTypes::pImageGif;
std::shared_ptr<FileType> FileTypes::pTextPlain;

namespace {

void initializeType(std::shared_ptr<FileType>& property, const QString& name,
                    const QString& extensions, const QString& macType, const QString& macCreator) {
    property = std::make_shared<FileType>();
    FileType& type = *property;
    type.setName(name);
    type.setExtensions(extensions);
    type.setMacType(macType);
    type.setMacCreator(macCreator);
    (void)static_cast<QString>(type); // the conversion is what registers the type
}

} // namespace

void FileTypes::Initialize() {
    initializeType(pImageJpeg, QStringLiteral("image/jpeg"), QStringLiteral(".jpe;.jpeg;.jpg"),
                   QStringLiteral("JPEG"), QStringLiteral("ogle"));
    initializeType(pImageGif, QStringLiteral("image/gif"), QStringLiteral(".gif"),
                   QStringLiteral("GIFf"), QStringLiteral("ogle"));
    initializeType(pTextPlain, QStringLiteral("text/plain"),
                   QStringLiteral(".asc;.ascii;.text;.txt"), QStringLiteral("TEXT"),
                   QStringLiteral("ttxt"));
}

void FileTypes::Release() {
    pImageJpeg.reset();
    pImageGif.reset();
    pTextPlain.reset();
}

void InitFileTypes() {
    FileTypes::Initialize();
}

} // namespace platform
