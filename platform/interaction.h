// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

namespace platform {

// Everything that needs a person at the screen. The application talks to the user only through
// this, so tests can hand in a scripted stand-in.
class Interaction {
public:
    virtual ~Interaction() = default;

    // A modal message with one button; returns once dismissed. `detail`, when given, is one short
    // line of informative text under the message.
    virtual void msgBox(const QString& text, const QString& detail = {}) = 0;
    // A modal open dialog offering only files that match `nameFilters` (QFileDialog syntax).
    // Returns the chosen file's path, or an empty string when cancelled.
    virtual QString getOpenFile(const QStringList& nameFilters) = 0;
    // A modal choose-folder dialog. Returns the folder's path, or an empty string when cancelled.
    virtual QString selectFolder() = 0;
    // Asks the application to end with `code` once control is back in the event loop. With the Qt
    // implementation, a modal message or dialog opened after the request returns at once, unseen.
    virtual void quit(int code) = 0;
    // Opens `url` in the user's browser; the result is not looked at.
    virtual void showUrl(const QUrl& url) = 0;
};

// The instance the application uses: the one installed with setInteraction(), or, while none is,
// one for a program without a screen (messages go to the error output, dialogs answer as
// cancelled, quitting and web addresses work). The desktop application installs the one over Qt's
// widgets; tests install a scripted stand-in.
Interaction& interaction();
void setInteraction(Interaction* installed); // nullptr goes back to the one without a screen
Interaction* installedInteraction();

// The cooperative yield of the slicing loops: lets the event loop run pending work, no waiting.
void yieldToEvents();

} // namespace platform
