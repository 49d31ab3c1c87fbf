// SPDX-License-Identifier: MIT
#pragma once

#include <QKeySequence>
#include <QMenuBar>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

class QAction;
class QMenu;

namespace ui {

// One entry of the menu bar: a top-level menu, a command or a separator line. It is a QAction
// that grows a QMenu once something is appended to it. Choosing it runs the handler bound to its
// Name (see addMenuHandler); when no handler takes it, the framework's own behaviour runs.
class MenuItem : public QObject {
    Q_OBJECT
public:
    explicit MenuItem(QObject* parent = nullptr);
    ~MenuItem() override;

    QString Name() const { return objectName(); }
    void setName(const QString& name) { setObjectName(name); }
    QString Text() const;
    void setText(const QString& text); // "-" makes the item a separator line
    bool isSeparator() const;
    bool AutoEnable() const { return m_autoEnable; }
    void setAutoEnable(bool on) { m_autoEnable = on; }
    QKeySequence KeyboardShortcut() const;
    void setKeyboardShortcut(const QKeySequence& shortcut);
    bool Enabled() const;
    void setEnabled(bool on);
    bool Visible() const;
    void setVisible(bool on);

    // Appends `item` to this item's menu and takes ownership of it.
    void Append(MenuItem* item);
    int Count() const { return int(m_items.size()); }
    MenuItem* Item(int index) const;
    // The direct entry called `name`, or null.
    MenuItem* Child(const QString& name) const;
    // This item or any entry below it called `name`, or null.
    MenuItem* Lookup(const QString& name);

    QAction* action() const { return m_action; }
    QMenu* menu() const { return m_menu.get(); } // null while nothing is appended

    // What the framework would set Enabled to right now for an auto-enabled item, or nothing
    // when it leaves the item as it is.
    virtual std::optional<bool> autoEnabledState() const;
    // The framework's handling of a chosen item that no handler took.
    virtual void defaultAction();

    // Chooses the item, as a click on it would.
    void choose();

signals:
    void aboutToShow(); // this item's menu is about to open

private:
    std::unique_ptr<QMenu> m_menu;
    QString m_text; // the item's text as given, "-" for a separator
    QAction* m_action;
    std::vector<MenuItem*> m_items;
    bool m_autoEnable = false;
};

// Quits the application through the normal shutdown.
class QuitMenuItem : public MenuItem {
    Q_OBJECT
public:
    explicit QuitMenuItem(QObject* parent = nullptr);
    std::optional<bool> autoEnabledState() const override { return true; }
    void defaultAction() override;
};

// The About item, which macOS moves into the application menu.
class AppleMenuItem : public MenuItem {
    Q_OBJECT
public:
    explicit AppleMenuItem(QObject* parent = nullptr);
};

// The application's menu bar: File, Edit, an empty entry and Help.
class Menu : public QMenuBar {
    Q_OBJECT
public:
    Menu();
    ~Menu() override;

    void Untitled1();
    void Untitled2();
    void Untitled3();
    void Untitled4();

    // Appends a top-level menu and takes ownership of it.
    void Append(MenuItem* item);
    int Count() const { return int(m_menus.size()); }
    MenuItem* Item(int index) const;
    MenuItem* Child(const QString& name) const;
    // Any entry of the bar called `name`, or null.
    MenuItem* Lookup(const QString& name) const;

    // What the framework does before a menu opens: auto-enabled items take their state, then the
    // windows' EnableMenuItems handlers run.
    void updateItems();

private:
    std::vector<MenuItem*> m_menus;
};

// Deletes the shared menu bar; the next ::Menu() builds a new one.
void releaseMenu();

// Brings the application menu bar's items up to date, when there is one.
void updateMenus();

} // namespace ui

// The menu bar's shared instance, built on first use.
ui::Menu& Menu();
// The About and Instructions items, found by name in the application's menu bar.
ui::AppleMenuItem& AboutTilemaven();
ui::MenuItem& Helpinstructions();
