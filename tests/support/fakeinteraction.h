// SPDX-License-Identifier: MIT
#pragma once

#include "platform/interaction.h"

#include <QStringList>
#include <QUrl>

#include <deque>

// A scripted person: answers the dialogs from queues and records everything asked, in order.
// Records read "msg:TEXT" (and "detail:LINE" right after it when there is one), "open:FILTERS",
// "folder", "quit:CODE" and "url:ADDRESS".
class FakeInteraction final : public platform::Interaction {
public:
    std::deque<QString> openAnswers;   // "" answers as a cancel
    std::deque<QString> folderAnswers; // "" answers as a cancel
    QStringList events;
    QStringList messages;
    QStringList details;
    int quitCount = 0;

    void msgBox(const QString& text, const QString& detail = {}) override {
        events << "msg:" + text;
        messages << text;
        details << detail;
        if (!detail.isEmpty())
            events << "detail:" + detail;
    }
    QString getOpenFile(const QStringList& nameFilters) override {
        events << "open:" + nameFilters.join(";;");
        return next(openAnswers);
    }
    QString selectFolder() override {
        events << "folder";
        return next(folderAnswers);
    }
    void quit(int code) override {
        events << "quit:" + QString::number(code);
        ++quitCount;
    }
    void showUrl(const QUrl& url) override { events << "url:" + url.toString(); }

    // The events without the detail lines, for comparing the order of what the user saw.
    QStringList mainEvents() const {
        QStringList out;
        for (const QString& e : events)
            if (!e.startsWith("detail:"))
                out << e;
        return out;
    }

private:
    static QString next(std::deque<QString>& queue) {
        if (queue.empty())
            return {};
        QString answer = queue.front();
        queue.pop_front();
        return answer;
    }
};
