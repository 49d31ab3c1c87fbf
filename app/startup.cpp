// SPDX-License-Identifier: MIT
#include "app/startup.h"

#include "app/app.h"
#include "platform/filetypes.h"
#include "platform/interaction.h"
#include "platform/widgets/qtinteraction.h"
#include "ui/framework.h"
#include "ui/menu.h"
#include "ui/window1.h"

#include <memory>

namespace app {
namespace {

std::unique_ptr<App>& registeredApp() {
    static std::unique_ptr<App> app;
    return app;
}

std::unique_ptr<platform::QtInteraction>& screenPerson() {
    static std::unique_ptr<platform::QtInteraction> person;
    return person;
}

int& eventLoopResult() {
    static int result = 0;
    return result;
}

} // namespace

int run(int& argc, char** argv) {
    Main(argc, argv);
    finalize();
    return endRuntime();
}

int Main(int& argc, char** argv) {
    InitFileTypes();
    NewAppInstance(argc, argv);
    ApplicationAddMenuHandlers();
    MakeDefaultView();
    eventLoopResult() = QApplication::exec();
    return 0;
}

void InitFileTypes() {
    platform::InitFileTypes();
}

void NewAppInstance(int& argc, char** argv) {
    auto app = std::make_unique<App>(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tilemaven"));
    QApplication::setApplicationVersion(QStringLiteral(TILEMAVEN_VERSION));
    // Lets the desktop match the running windows to the installed launcher and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.tilemaven.Tilemaven"));
    // The bar is in place before the application object counts as registered.
    ui::setApplicationMenuBar(*app, &::Menu());
    registeredApp() = std::move(app);
}

void ApplicationAddMenuHandlers() {}

void MakeDefaultView() {
    ui::Window1& window = ::Window1();
    // The person at the screen answers the dialogs, which belong to the main window; a stand-in
    // installed before start-up (a test's) keeps its place.
    if (!platform::installedInteraction()) {
        screenPerson() = std::make_unique<platform::QtInteraction>(&window);
        platform::setInteraction(screenPerson().get());
    }
    ui::updateMenus();
}

void finalize() {
    // Dialogs must not be parented to a window that is about to go.
    if (screenPerson() && platform::installedInteraction() == screenPerson().get())
        platform::setInteraction(nullptr);
    screenPerson().reset();
    ui::releaseImplicitWindows();
    ui::releaseWindowList();
    platform::FileTypes::Release();
    ui::releaseMenu();
}

int endRuntime() {
    registeredApp().reset();
    return eventLoopResult();
}

} // namespace app

app::App& App() {
    const std::unique_ptr<app::App>& app = app::registeredApp();
    if (!app)
        throw ui::NilObjectException(QStringLiteral("no application object"));
    return *app;
}
