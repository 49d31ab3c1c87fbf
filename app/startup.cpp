#include "startup.h"

#include "app.h"
#include "filetypes.h"
#include "framework.h"
#include "interaction.h"
#include "menu.h"
#include "window1.h"

#include <memory>

namespace app {
namespace {

std::unique_ptr<App>& registeredApp() {
    static std::unique_ptr<App> app;
    return app;
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
    if (auto* qt = dynamic_cast<platform::QtInteraction*>(&platform::interaction()))
        qt->setParentWidget(&window);
    ui::updateMenus();
}

void finalize() {
    // Dialogs must not be parented to a window that is about to go.
    if (auto* qt = dynamic_cast<platform::QtInteraction*>(&platform::interaction()))
        qt->setParentWidget(nullptr);
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
