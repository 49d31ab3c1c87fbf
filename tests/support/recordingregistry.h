// SPDX-License-Identifier: MIT
#pragma once

#include "platform/filetypes.h"

#include <QStringList>

// A file-type registry that notes every call before it does what the program's own does:
// "register NAME CREATOR TYPE EXTENSIONS" or "deregister NAME". Installed for the whole process
// (file types held in statics deregister during exit), it is never destroyed.
class RecordingRegistry final : public platform::FileTypeRegistry {
public:
    static RecordingRegistry& installed() {
        static auto* registry = [] {
            auto* made = new RecordingRegistry;
            platform::FileTypeRegistry::install(made);
            return made;
        }();
        return *registry;
    }

    void registerType(const QString& name, const QString& macCreator, const QString& macType,
                      const QString& extensions) override {
        log << QStringLiteral("register %1 %2 %3 %4").arg(name, macCreator, macType, extensions);
        FileTypeRegistry::registerType(name, macCreator, macType, extensions);
    }
    void deregisterType(const QString& name) override {
        log << QStringLiteral("deregister %1").arg(name);
        FileTypeRegistry::deregisterType(name);
    }

    QStringList log;
};
