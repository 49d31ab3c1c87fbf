// SPDX-License-Identifier: MIT
#include "ui/menu.h"

#include "platform/interaction.h"
#include "platform/widgets/editactions.h"
#include "ui/framework.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QPointer>
#include <QVariant>

namespace ui {
namespace {

// The Edit items have no handler of the application: the framework knows them by name.
std::optional<platform::EditAction> editActionFor(const QString& name) {
    using platform::EditAction;
    static const std::pair<const char*, EditAction> names[] = {
        {"EditUndo", EditAction::Undo},   {"EditCut", EditAction::Cut},
        {"EditCopy", EditAction::Copy},   {"EditPaste", EditAction::Paste},
        {"EditClear", EditAction::Clear},
    };
    for (const auto& [itemName, action] : names)
        if (name == QLatin1String(itemName))
            return action;
    return std::nullopt;
}

void updateItem(MenuItem& item) {
    if (item.AutoEnable())
        if (const std::optional<bool> state = item.autoEnabledState())
            item.setEnabled(*state);
    for (int i = 0; i < item.Count(); ++i)
        updateItem(*item.Item(i));
}

QPointer<Menu>& sharedMenu() {
    static QPointer<Menu> menu;
    return menu;
}

} // namespace

MenuItem::MenuItem(QObject* parent)
    : QObject(parent)
    , m_action(new QAction(this)) {
    m_action->setMenuRole(QAction::NoRole);
    connect(m_action, &QAction::triggered, this, &MenuItem::choose);
}

MenuItem::~MenuItem() = default;

QString MenuItem::Text() const {
    return m_text;
}

void MenuItem::setText(const QString& text) {
    m_text = text;
    const bool separator = text == QLatin1String("-");
    m_action->setSeparator(separator);
    // A style draws a separator's text as a section title: a separator is a plain line.
    m_action->setText(separator ? QString() : text);
    if (m_menu)
        m_menu->setTitle(text);
}

bool MenuItem::isSeparator() const {
    return m_action->isSeparator();
}

QKeySequence MenuItem::KeyboardShortcut() const {
    return m_action->shortcut();
}

void MenuItem::setKeyboardShortcut(const QKeySequence& shortcut) {
    m_action->setShortcut(shortcut);
    // The bar stands in the main window only; its shortcuts work from every window.
    m_action->setShortcutContext(Qt::ApplicationShortcut);
}

bool MenuItem::Enabled() const {
    return m_action->isEnabled();
}

void MenuItem::setEnabled(bool on) {
    m_action->setEnabled(on);
}

bool MenuItem::Visible() const {
    return m_action->isVisible();
}

void MenuItem::setVisible(bool on) {
    m_action->setVisible(on);
}

void MenuItem::Append(MenuItem* item) {
    if (!m_menu) {
        m_menu = std::make_unique<QMenu>(Text());
        m_action->setMenu(m_menu.get());
        connect(m_menu.get(), &QMenu::aboutToShow, this, &MenuItem::aboutToShow);
    }
    item->setParent(this);
    m_items.push_back(item);
    m_menu->addAction(item->action());
    connect(item, &MenuItem::aboutToShow, this, &MenuItem::aboutToShow);
}

MenuItem* MenuItem::Item(int index) const {
    return index >= 0 && index < Count() ? m_items[std::size_t(index)] : nullptr;
}

MenuItem* MenuItem::Child(const QString& name) const {
    for (MenuItem* item : m_items)
        if (item->Name() == name)
            return item;
    return nullptr;
}

MenuItem* MenuItem::Lookup(const QString& name) {
    if (Name() == name)
        return this;
    for (MenuItem* item : m_items)
        if (MenuItem* found = item->Lookup(name))
            return found;
    return nullptr;
}

std::optional<bool> MenuItem::autoEnabledState() const {
    if (const auto edit = editActionFor(Name()))
        return platform::canEditFocus(*edit);
    return std::nullopt;
}

void MenuItem::defaultAction() {
    if (const auto edit = editActionFor(Name()))
        platform::applyEditToFocus(*edit);
}

void MenuItem::choose() {
    if (!dispatchMenuHandler(Name()))
        defaultAction();
}

QuitMenuItem::QuitMenuItem(QObject* parent)
    : MenuItem(parent) {
    action()->setMenuRole(QAction::QuitRole);
}

void QuitMenuItem::defaultAction() {
    platform::interaction().quit(0);
}

AppleMenuItem::AppleMenuItem(QObject* parent)
    : MenuItem(parent) {
    action()->setMenuRole(QAction::AboutRole);
}

Menu::Menu() {
    setObjectName(QStringLiteral("Menu"));
    Untitled1();
    Untitled2();
    Untitled3();
    Untitled4();
}

Menu::~Menu() {
    if (QCoreApplication* app = QCoreApplication::instance();
        app && hasApplicationMenuBar() && &applicationMenuBar() == this)
        setApplicationMenuBar(*app, nullptr);
}

namespace {

// Name, AutoEnable, Text, then the shortcut, which a separator never gets.
template <class Item = MenuItem>
Item* makeItem(const char* name, const char* text, const char* shortcut = nullptr) {
    auto* item = new Item;
    item->setName(QString::fromLatin1(name));
    item->setAutoEnable(true);
    item->setText(QString::fromLatin1(text));
    if (shortcut)
        item->setKeyboardShortcut(QKeySequence(QString::fromLatin1(shortcut)));
    return item;
}

} // namespace

void Menu::Untitled1() {
    Append(makeItem("UntitledMenu4", "File", ""));
    Child(QStringLiteral("UntitledMenu4"))
        ->Append(makeItem<QuitMenuItem>("FileQuit", "Quit", "Ctrl+Q"));
}

void Menu::Untitled2() {
    Append(makeItem("UntitledMenu1", "Edit", ""));
    MenuItem* edit = Child(QStringLiteral("UntitledMenu1"));
    edit->Append(makeItem("EditUndo", "Undo", "Ctrl+Z"));
    edit->Append(makeItem("UntitledMenu3", "-"));
    edit->Append(makeItem("EditCut", "Cut", "Ctrl+X"));
    edit->Append(makeItem("EditCopy", "Copy", "Ctrl+C"));
    edit->Append(makeItem("EditPaste", "Paste", "Ctrl+V"));
    edit->Append(makeItem("EditClear", "Clear", ""));
    edit->Append(makeItem("UntitledMenu2", "-"));
}

void Menu::Untitled3() {
    Append(makeItem("Help", "", ""));
    // An entry with neither text nor items would only be an empty spot that does nothing.
    Child(QStringLiteral("Help"))->setVisible(false);
}

void Menu::Untitled4() {
    Append(makeItem("UntitledMenu0", "Help", ""));
    MenuItem* help = Child(QStringLiteral("UntitledMenu0"));
    help->Append(makeItem("Helpinstructions", "Instructions", ""));
    help->Append(makeItem<AppleMenuItem>("AboutTilemaven", "About Tilemaven", ""));
}

void Menu::Append(MenuItem* item) {
    item->setParent(this);
    m_menus.push_back(item);
    addAction(item->action());
    connect(item, &MenuItem::aboutToShow, this, &Menu::updateItems);
}

MenuItem* Menu::Item(int index) const {
    return index >= 0 && index < Count() ? m_menus[std::size_t(index)] : nullptr;
}

MenuItem* Menu::Child(const QString& name) const {
    for (MenuItem* item : m_menus)
        if (item->Name() == name)
            return item;
    return nullptr;
}

MenuItem* Menu::Lookup(const QString& name) const {
    for (MenuItem* item : m_menus)
        if (MenuItem* found = item->Lookup(name))
            return found;
    return nullptr;
}

void Menu::updateItems() {
    for (MenuItem* item : m_menus)
        updateItem(*item);
    raiseEnableMenuItems();
}

void releaseMenu() {
    delete sharedMenu().data();
    sharedMenu() = nullptr;
}

void updateMenus() {
    if (hasApplicationMenuBar())
        applicationMenuBar().updateItems();
}

} // namespace ui

ui::Menu& Menu() {
    QPointer<ui::Menu>& menu = ui::sharedMenu();
    if (!menu)
        menu = new ui::Menu;
    return *menu;
}

namespace {

template <class Item>
Item& lookUpItem(const QString& name) {
    auto* item = qobject_cast<Item*>(ui::applicationMenuBar().Lookup(name));
    if (!item)
        throw ui::NilObjectException(QStringLiteral("no menu item ") + name);
    return *item;
}

} // namespace

ui::AppleMenuItem& AboutTilemaven() {
    return lookUpItem<ui::AppleMenuItem>(QStringLiteral("AboutTilemaven"));
}

ui::MenuItem& Helpinstructions() {
    return lookUpItem<ui::MenuItem>(QStringLiteral("Helpinstructions"));
}
