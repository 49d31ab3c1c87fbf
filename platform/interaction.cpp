// SPDX-License-Identifier: MIT
#include "platform/interaction.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QTextStream>

namespace platform {

namespace {

// A program without a screen: nobody can answer a dialog.
class Headless final : public Interaction {
public:
    void msgBox(const QString& text, const QString& detail) override {
        QTextStream err(stderr);
        err << text;
        if (!detail.isEmpty())
            err << ": " << detail;
        err << "\n";
    }
    QString getOpenFile(const QStringList&) override { return {}; }
    QString selectFolder() override { return {}; }
    void quit(int code) override { QCoreApplication::exit(code); }
    void showUrl(const QUrl& url) override { QDesktopServices::openUrl(url); }
};

Interaction*& installed() {
    static Interaction* current = nullptr;
    return current;
}

} // namespace

Interaction& interaction() {
    if (Interaction* current = installed())
        return *current;
    static Headless headless;
    return headless;
}

void setInteraction(Interaction* replacement) {
    installed() = replacement;
}

Interaction* installedInteraction() {
    return installed();
}

void yieldToEvents() {
    QCoreApplication::processEvents();
}

} // namespace platform
