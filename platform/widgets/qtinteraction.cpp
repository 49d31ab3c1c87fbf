// SPDX-License-Identifier: MIT
#include "platform/widgets/qtinteraction.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>

namespace platform {

void QtInteraction::msgBox(const QString& text, const QString& detail) {
    QMessageBox box(m_parent);
    box.setObjectName(QStringLiteral("MsgBox"));
    box.setText(text);
    if (!detail.isEmpty())
        box.setInformativeText(detail);
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
}

QString QtInteraction::getOpenFile(const QStringList& nameFilters) {
    return QFileDialog::getOpenFileName(m_parent, QString(), QString(), nameFilters.join(u";;"));
}

QString QtInteraction::selectFolder() {
    return QFileDialog::getExistingDirectory(m_parent);
}

void QtInteraction::quit(int code) {
    QCoreApplication::exit(code);
}

void QtInteraction::showUrl(const QUrl& url) {
    QDesktopServices::openUrl(url);
}

} // namespace platform
