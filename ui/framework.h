// SPDX-License-Identifier: MIT
#pragma once

// The few pieces of a classic window framework that Qt does not have: one shared instance per
// window class, menu commands that reach their handler by the item's name, and the moment when
// windows bring the menus up to date.

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <stdexcept>

class QCoreApplication;

namespace ui {

class Menu;

// Raised when a control, window or menu item that code relies on is not there.
class NilObjectException : public std::runtime_error {
public:
    explicit NilObjectException(const QString& what);
};

// The control of `window` named `name`, or NilObjectException.
template <class T>
T& control(const QWidget& window, const QString& name) {
    T* found = window.findChild<T*>(name);
    if (!found)
        throw NilObjectException(QStringLiteral("no control ") + name);
    return *found;
}

// --- Implicit instances -------------------------------------------------------------------------

// The window held under `fullName` ("Window1.Window1"), or null once it is gone.
QWidget* implicitWindow(const QString& fullName);
void holdImplicitWindow(const QString& fullName, QWidget* window);

// The shared instance of W: the one held under `fullName`, or a new one, built by its constructor
// and shown when the class says it is visible.
template <class W>
W& implicitInstance(const QString& fullName) {
    if (QWidget* held = implicitWindow(fullName))
        return static_cast<W&>(*held);
    auto* window = new W;
    holdImplicitWindow(fullName, window);
    if (W::kVisible)
        window->show();
    return *window;
}

// Every window the application builds, implicit or not; it lives until releaseWindowList().
void addToWindowList(QWidget* window);

// Shutdown: first the implicit instances, then whatever the window list still holds.
void releaseImplicitWindows();
void releaseWindowList();

// --- Menus --------------------------------------------------------------------------------------

// The application object's menu bar. Reading it without an application object or a bar raises
// NilObjectException.
void setApplicationMenuBar(QCoreApplication& app, Menu* bar);
Menu& applicationMenuBar();
bool hasApplicationMenuBar();

// Binds the menu item called `itemName` to `handler` for as long as `window` lives. A handler
// returns true when it has dealt with the command, false to let it go on to the framework.
void addMenuHandler(QWidget& window, const QString& itemName, std::function<bool()> handler);
// Runs the handlers bound to `itemName`, in the order they were bound, until one returns true.
bool dispatchMenuHandler(const QString& itemName);

// Windows that keep menu items enabled register here; raiseEnableMenuItems() calls them all.
void addEnableMenuItemsHandler(QWidget& window, std::function<void()> handler);
void raiseEnableMenuItems();

} // namespace ui
