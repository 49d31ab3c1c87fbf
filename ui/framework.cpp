// SPDX-License-Identifier: MIT
#include "ui/framework.h"

#include "ui/menu.h"

#include <QCoreApplication>
#include <QVariant>

#include <utility>
#include <vector>

namespace ui {
namespace {

constexpr const char* kMenuBarProperty = "MenuBar";

struct HeldWindow {
    QString fullName;
    QPointer<QWidget> window;
};

struct MenuHandler {
    QPointer<QWidget> window;
    QString itemName;
    std::function<bool()> handler;
};

struct EnableHandler {
    QPointer<QWidget> window;
    std::function<void()> handler;
};

std::vector<HeldWindow>& heldWindows() {
    static std::vector<HeldWindow> held;
    return held;
}

std::vector<QPointer<QWidget>>& windowList() {
    static std::vector<QPointer<QWidget>> list;
    return list;
}

std::vector<MenuHandler>& menuHandlers() {
    static std::vector<MenuHandler> handlers;
    return handlers;
}

std::vector<EnableHandler>& enableHandlers() {
    static std::vector<EnableHandler> handlers;
    return handlers;
}

// Handlers of windows that are gone must not run, nor pile up over a long session.
template <class Entries>
void dropDeadWindows(Entries& entries) {
    std::erase_if(entries, [](const auto& entry) { return entry.window.isNull(); });
}

} // namespace

NilObjectException::NilObjectException(const QString& what)
    : std::runtime_error(what.toStdString()) {}

QWidget* implicitWindow(const QString& fullName) {
    auto& held = heldWindows();
    dropDeadWindows(held);
    for (const HeldWindow& entry : held)
        if (entry.fullName == fullName)
            return entry.window.data();
    return nullptr;
}

void holdImplicitWindow(const QString& fullName, QWidget* window) {
    heldWindows().push_back({fullName, window});
}

void addToWindowList(QWidget* window) {
    auto& list = windowList();
    std::erase_if(list, [](const QPointer<QWidget>& w) { return w.isNull(); });
    list.emplace_back(window);
}

void releaseImplicitWindows() {
    // Taken out first, so that a window's destructor never sees a half-released list.
    std::vector<HeldWindow> held = std::exchange(heldWindows(), {});
    for (HeldWindow& entry : held)
        delete entry.window.data();
}

void releaseWindowList() {
    std::vector<QPointer<QWidget>> list = std::exchange(windowList(), {});
    for (QPointer<QWidget>& window : list)
        delete window.data();
}

void setApplicationMenuBar(QCoreApplication& app, Menu* bar) {
    app.setProperty(kMenuBarProperty, QVariant::fromValue(static_cast<QObject*>(bar)));
}

bool hasApplicationMenuBar() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app && app->property(kMenuBarProperty).value<QObject*>() != nullptr;
}

Menu& applicationMenuBar() {
    const QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        throw NilObjectException(QStringLiteral("no application object"));
    auto* bar = qobject_cast<Menu*>(app->property(kMenuBarProperty).value<QObject*>());
    if (!bar)
        throw NilObjectException(QStringLiteral("the application has no menu bar"));
    return *bar;
}

void addMenuHandler(QWidget& window, const QString& itemName, std::function<bool()> handler) {
    auto& handlers = menuHandlers();
    dropDeadWindows(handlers);
    handlers.push_back({&window, itemName, std::move(handler)});
}

bool dispatchMenuHandler(const QString& itemName) {
    dropDeadWindows(menuHandlers());
    // A copy: a handler may build a window that binds handlers of its own.
    const std::vector<MenuHandler> handlers = menuHandlers();
    for (const MenuHandler& entry : handlers)
        if (entry.itemName == itemName && entry.window && entry.handler())
            return true;
    return false;
}

void addEnableMenuItemsHandler(QWidget& window, std::function<void()> handler) {
    auto& handlers = enableHandlers();
    dropDeadWindows(handlers);
    handlers.push_back({&window, std::move(handler)});
}

void raiseEnableMenuItems() {
    dropDeadWindows(enableHandlers());
    const std::vector<EnableHandler> handlers = enableHandlers();
    for (const EnableHandler& entry : handlers)
        if (entry.window)
            entry.handler();
}

} // namespace ui
