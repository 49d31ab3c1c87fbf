// SPDX-License-Identifier: MIT
#include "app/startup.h"

#include "app/app.h"
#include "platform/filetypes.h"
#include "platform/interaction.h"
#include "platform/widgets/qtinteraction.h"
#include "puzzle/request.h"
#include "ui/framework.h"
#include "ui/menu.h"
#include "ui/window1.h"

#include <QRegularExpression>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

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

std::optional<puzzle::PageChoice>& chosenPage() {
    static std::optional<puzzle::PageChoice> choice;
    return choice;
}

// What the display was to be, for the one line said when none could be reached.
QString displaysNamed() {
    QStringList named;
    for (const char* variable : {"WAYLAND_DISPLAY", "DISPLAY"})
        if (const QString value = qEnvironmentVariable(variable); !value.isEmpty())
            named << QStringLiteral("%1=%2").arg(QLatin1String(variable), value);
    return named.isEmpty() ? QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set")
                           : named.join(QStringLiteral(", "));
}

// While the application object is made, Qt starts its platform plugin; when none starts (no
// display to reach) it aborts the process with a page of advice. The guard says so in one line
// and ends with the usage status instead. What Qt says meanwhile is held back, and given out as
// usual once the window has its display.
class DisplayGuard {
public:
    DisplayGuard() {
        held().clear();
        s_previous = qInstallMessageHandler(&DisplayGuard::hold);
    }
    ~DisplayGuard() {
        qInstallMessageHandler(s_previous);
        for (const Held& message : held()) {
            const QMessageLogContext context(text(message.file), message.line,
                                             text(message.function), text(message.category));
            qt_message_output(message.type, context, message.text);
        }
        held().clear();
    }
    DisplayGuard(const DisplayGuard&) = delete;
    DisplayGuard& operator=(const DisplayGuard&) = delete;

private:
    struct Held {
        QtMsgType type;
        QByteArray file, function, category;
        int line;
        QString text;
    };
    static std::vector<Held>& held() {
        static std::vector<Held> messages;
        return messages;
    }
    static const char* text(const QByteArray& bytes) {
        return bytes.isNull() ? nullptr : bytes.constData();
    }

    static void hold(QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (type == QtFatalMsg && message.contains(QLatin1String("platform plugin")))
            noDisplay();
        if (type == QtFatalMsg) {
            s_previous(type, context, message);
            return;
        }
        held().push_back({type, QByteArray(context.file), QByteArray(context.function),
                          QByteArray(context.category), context.line, message});
    }

    [[noreturn]] static void noDisplay() {
        static const QRegularExpression kPlugin(QStringLiteral("platform plugin \"([^\"]+)\""));
        QString plugin;
        for (const Held& message : held())
            if (const QRegularExpressionMatch match = kPlugin.match(message.text); match.hasMatch())
                plugin = QStringLiteral("; Qt platform \"%1\"").arg(match.captured(1));
        const QString line =
            QStringLiteral("tilemaven: cannot open the window: no display could be reached (%1%2). "
                           "To make a puzzle without a window: tilemaven --grid N PICTURE FOLDER\n")
                .arg(displaysNamed(), plugin);
        std::fputs(line.toLocal8Bit().constData(), stderr);
        std::fflush(stderr);
        // Nothing has been made that needs putting away; Qt's own state is half made.
        std::_Exit(2);
    }

    static inline QtMessageHandler s_previous = nullptr;
};

} // namespace

int run(int& argc, char** argv, const puzzle::PageChoice* choice) {
    chosenPage() = choice ? std::optional<puzzle::PageChoice>(*choice) : std::nullopt;
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
    std::unique_ptr<App> app;
    {
        const DisplayGuard guard;
        app = std::make_unique<App>(argc, argv);
    }
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
    if (const std::optional<puzzle::PageChoice>& choice = chosenPage())
        window.setPageChoice(*choice);
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
