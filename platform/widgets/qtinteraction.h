// SPDX-License-Identifier: MIT
#pragma once

#include "platform/interaction.h"

class QWidget;

namespace platform {

// The person at the screen, over QMessageBox, QFileDialog, QCoreApplication and QDesktopServices.
// Dialogs and messages belong to `parent`, which must outlive this object or be null.
class QtInteraction final : public Interaction {
public:
    explicit QtInteraction(QWidget* parent = nullptr)
        : m_parent(parent) {}

    void msgBox(const QString& text, const QString& detail = {}) override;
    QString getOpenFile(const QStringList& nameFilters) override;
    QString selectFolder() override;
    void quit(int code) override;
    void showUrl(const QUrl& url) override;

private:
    QWidget* m_parent;
};

} // namespace platform
