// SPDX-License-Identifier: MIT
#include "app/commandline.h"

#include "folder/interrupt.h"
#include "folder/stagedfolder.h"
#include "picture/picturesource.h"
#include "puzzle/modernpage.h"
#include "puzzle/page.h"
#include "puzzle/project.h"
#include "puzzle/request.h"
#include "puzzle/sizecommand.h"
#include "puzzle/sizetable.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTextStream>

#include <new>
#include <system_error>

#ifndef TILEMAVEN_VERSION
#error "TILEMAVEN_VERSION must be defined by the build"
#endif

namespace {

constexpr int kWritten = 0;
constexpr int kFailed = 1;
constexpr int kBadUsage = 2;

const char* const kSynopsis = "--grid N [--solve-button] PICTURE FOLDER";
const char* const kWindowSynopsis =
    "--window [--page STYLE] [--title TEXT] [--fit WxH|none] [--single-file]";
const char* const kProgram = "tilemaven";

// Messages from the layers below may span lines; the command line promises one line per cause.
QString oneLine(QString text) {
    return text.replace(QLatin1Char('\n'), QLatin1Char(' ')).trimmed();
}

int badUsage(const QString& problem) {
    QTextStream err(stderr);
    const QString name = QCoreApplication::applicationName();
    err << name << ": " << oneLine(problem) << "\n"
        << "Usage: " << name << ' ' << kSynopsis << "\n"
        << "   or: " << name << ' ' << kWindowSynopsis << "\n"
        << "Try '" << name << " --help' for more information.\n";
    return kBadUsage;
}

int failure(const QString& cause) {
    QTextStream(stderr) << QCoreApplication::applicationName() << ": " << oneLine(cause) << "\n";
    return kFailed;
}

int commandLine(int argc, char** argv);

// The largest side --fit takes: far beyond any screen, and well inside int arithmetic.
constexpr int kMaxFitSide = 100000;

using puzzle::PageChoice;

// The one value of an option given at most once; false with `problem` set otherwise.
bool singleValue(const QCommandLineParser& parser, const QString& name, QString& value,
                 QString& problem) {
    const QStringList values = parser.values(name);
    if (values.size() > 1) {
        problem = QStringLiteral("--%1 is given more than once.").arg(name);
        return false;
    }
    value = values.isEmpty() ? QString() : values.front();
    return true;
}

// The box of --fit, "none", or nothing given: a modern page of a big photo stays light to load
// and share unless every pixel is asked for. Empty when the value is good, else what is wrong.
QString readFit(bool given, const QString& fit, PageChoice& choice) {
    if (!given) {
        choice.fit = choice.modern ? puzzle::kModernFit : QSize();
        return {};
    }
    if (fit == QLatin1String("none")) {
        choice.fit = QSize();
        return {};
    }
    static const QRegularExpression kSize(QStringLiteral("^([0-9]{1,6})x([0-9]{1,6})$"));
    const QRegularExpressionMatch match = kSize.match(fit);
    const int w = match.hasMatch() ? match.captured(1).toInt() : 0;
    const int h = match.hasMatch() ? match.captured(2).toInt() : 0;
    if (w < 1 || h < 1 || w > kMaxFitSide || h > kMaxFitSide)
        return QStringLiteral(
                   "--fit must be WxH, two whole numbers from 1 to %1, or none, not '%2'.")
            .arg(kMaxFitSide)
            .arg(fit);
    choice.fit = QSize(w, h);
    return {};
}

// Empty when the options make sense together, else what is wrong with them. `lossy`: the
// arguments that are not valid UTF-8.
QString readPageChoice(const QCommandLineParser& parser, const QStringList& lossy,
                       PageChoice& choice) {
    QString problem, page, fit, title;
    if (!singleValue(parser, QStringLiteral("page"), page, problem) ||
        !singleValue(parser, QStringLiteral("fit"), fit, problem) ||
        !singleValue(parser, QStringLiteral("title"), title, problem))
        return problem;
    if (parser.isSet(QStringLiteral("page"))) {
        if (page != QLatin1String("classic") && page != QLatin1String("modern"))
            return QStringLiteral("--page must be classic or modern, not '%1'.").arg(page);
        choice.modern = page == QLatin1String("modern");
    }
    choice.singleFile = parser.isSet(QStringLiteral("single-file"));
    if (choice.singleFile && !choice.modern)
        return QStringLiteral("--single-file needs --page modern.");
    if (parser.isSet(QStringLiteral("title"))) {
        if (!choice.modern)
            return QStringLiteral("--title needs --page modern.");
        // Taken as given, a byte-order mark included; bytes that are not text are not guessed at.
        if (lossy.contains(title) || lossy.contains(QStringLiteral("--title=") + title))
            return QStringLiteral("--title is not valid UTF-8: '%1'.").arg(title);
        choice.title = title.toStdString();
        if (!puzzle::validTitle(choice.title))
            return QStringLiteral("--title must be one line of at most %1 characters.")
                .arg(puzzle::kMaxTitleLength);
    }
    return readFit(parser.isSet(QStringLiteral("fit")), fit, choice);
}

} // namespace

int runCommandLine(int argc, char** argv) {
    try {
        return commandLine(argc, argv);
    } catch (const std::bad_alloc&) {
    } catch (const std::system_error&) {
    }
    // The application object may be gone with what it knew: its name is spelt out here.
    QTextStream(stderr) << "tilemaven: Not enough memory.\n";
    return kFailed;
}

namespace {

// The arguments as the bytes they are, and those of them whose bytes do not survive as text.
struct Arguments {
    QStringList all;
    QStringList lossy; // not valid UTF-8: another name or text would be used for these
};

Arguments readArguments(int argc, char** argv) {
    Arguments args;
    for (int i = 0; i < argc; ++i) {
        // A leading byte-order mark is part of the argument, as every other character is.
        QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom |
                                                        QStringConverter::Flag::Stateless);
        args.all << utf8(QByteArrayView(argv[i]));
        if (utf8.hasError() || QFile::encodeName(args.all.back()) != QByteArray(argv[i]))
            args.lossy << args.all.back();
    }
    return args;
}

// The options as `tilemaven --help` lists them.
void addOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral(
        "Cuts a JPEG, GIF, PNG, WebP, HEIC or AVIF picture into a web puzzle of N x N pieces "
        "(or C x R for the modern page): the pieces, "
        "white.jpg and index.html, written into FOLDER.\n"
        "Nothing is written outside FOLDER: a symbolic link or other entry standing at one of "
        "those names is replaced by the new file, and what it points to is left alone. The files "
        "take their places all together or not at all; an interrupted run leaves FOLDER as it "
        "was."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(
        {QStringLiteral("grid"),
         QStringLiteral("Grid size (required): N for N x N pieces, %1 to %2. With --page modern "
                        "also CxR, C columns by R rows, each %3 to %4 and at most %5 pieces, or "
                        "auto: about %6 pieces, as near square as the picture allows.")
             .arg(puzzle::kMinGrid)
             .arg(puzzle::kMaxGrid)
             .arg(puzzle::kMinGridSide)
             .arg(puzzle::kMaxGridSide)
             .arg(puzzle::kMaxGridPieces)
             .arg(puzzle::kAutoGridPieces),
         QStringLiteral("N")});
    parser.addOption({QStringLiteral("solve-button"),
                      QStringLiteral("Put a \"Solve It For Me\" button below the puzzle.")});
    parser.addOption(
        {QStringLiteral("page"),
         QStringLiteral(
             "The page to write: classic (the default; the window's page) or modern (fits "
             "any screen, plays by touch and keyboard, counts moves and time)."),
         QStringLiteral("STYLE")});
    parser.addOption(
        {QStringLiteral("title"),
         QStringLiteral("The modern page's title and heading, shown as plain text (default \"%1\"; "
                        "one line, at most %2 characters).")
             .arg(QString::fromLatin1(puzzle::kDefaultTitle.data(),
                                      qsizetype(puzzle::kDefaultTitle.size())))
             .arg(puzzle::kMaxTitleLength),
         QStringLiteral("TEXT")});
    parser.addOption(
        {QStringLiteral("fit"),
         QStringLiteral("Scale the picture down, keeping its proportions, to fit within W by H "
                        "pixels before it is cut; a picture that fits already is left as it is. "
                        "The modern page fits within %1x%2 unless told otherwise; none keeps "
                        "every pixel.")
             .arg(puzzle::kModernFit.width())
             .arg(puzzle::kModernFit.height()),
         QStringLiteral("WxH")});
    parser.addOption(
        {QStringLiteral("single-file"),
         QStringLiteral("With --page modern: put the pieces inside index.html and write no other "
                        "file, so that the puzzle can be shared as one file.")});
    parser.addOption(
        {QStringLiteral("window"),
         QStringLiteral("Start the window even with the page's options above: it asks for the "
                        "size, the picture and the folder, writes the page they choose and opens "
                        "it in the web browser.")});
    parser.addPositionalArgument(
        QStringLiteral("PICTURE"),
        QStringLiteral("The picture to cut: JPEG, GIF, PNG, WebP, HEIC or AVIF."));
    parser.addPositionalArgument(QStringLiteral("FOLDER"),
                                 QStringLiteral("Where the puzzle goes; made when missing."));
}

// --help, --help-all and --version: true when one of them was asked for and answered.
bool answeredQuestion(const QCommandLineParser& parser) {
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        QTextStream(stdout) << parser.helpText();
        if (parser.isSet(QStringLiteral("help-all")))
            QTextStream(stdout) << "\nStarted without these options, " << kProgram
                                << " is the desktop application and takes Qt's standard\n"
                                   "options, such as -platform, -style, -reverse or -session.\n";
        return true;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        QTextStream(stdout) << QCoreApplication::applicationName() << ' '
                            << QCoreApplication::applicationVersion() << "\n";
        return true;
    }
    return false;
}

// What one run is asked to make, once the arguments are checked.
struct Request {
    const puzzle::SizeRow* row = nullptr; // --grid N; null for CxR and auto
    puzzle::Grid grid;
    bool autoGrid = false; // the grid is chosen from the picture
    bool solveButton = false;
    PageChoice choice;
    QString picture, folder;
};

// --grid N for either page; CxR and auto for the modern page only. Empty when `text` makes a
// grid, else what is wrong with it.
QString readGrid(const QString& text, bool modern, Request& request) {
    bool isNumber = false;
    const int n = text.toInt(&isNumber);
    if (isNumber) {
        request.row = puzzle::rowForGrid(n);
        request.grid = puzzle::Grid::square(n);
        if (!request.row)
            return QStringLiteral("--grid must be a whole number from %1 to %2, not '%3'.")
                .arg(puzzle::kMinGrid)
                .arg(puzzle::kMaxGrid)
                .arg(text);
        return {};
    }
    static const QRegularExpression kSides(QStringLiteral("^([0-9]{1,3})x([0-9]{1,3})$"));
    const QRegularExpressionMatch match = kSides.match(text);
    if (!match.hasMatch() && text != QLatin1String("auto"))
        return QStringLiteral("--grid must be N, CxR or auto, not '%1'.").arg(text);
    if (!modern)
        return QStringLiteral("--grid %1 needs --page modern; the classic page takes --grid N, "
                              "from %2 to %3.")
            .arg(text)
            .arg(puzzle::kMinGrid)
            .arg(puzzle::kMaxGrid);
    request.autoGrid = !match.hasMatch();
    if (request.autoGrid)
        return {};
    request.grid = {match.captured(1).toInt(), match.captured(2).toInt()};
    if (!puzzle::validModernGrid({request.grid.columns, request.grid.rows}))
        return QStringLiteral("--grid CxR takes columns and rows from %1 to %2, at most %3 pieces, "
                              "not '%4'.")
            .arg(puzzle::kMinGridSide)
            .arg(puzzle::kMaxGridSide)
            .arg(puzzle::kMaxGridPieces)
            .arg(text);
    return {};
}

// Empty when the arguments make a request, else what is wrong with them (bad usage).
QString readRequest(const QCommandLineParser& parser, const QStringList& lossy, Request& request) {
    if (!parser.isSet(QStringLiteral("grid")))
        return QStringLiteral("--grid N is required.");
    const QStringList gridValues = parser.values(QStringLiteral("grid"));
    if (gridValues.size() > 1)
        return QStringLiteral("--grid is given more than once.");
    request.solveButton = parser.isSet(QStringLiteral("solve-button"));
    if (QString problem = readPageChoice(parser, lossy, request.choice); !problem.isEmpty())
        return problem;
    if (QString problem = readGrid(gridValues.front(), request.choice.modern, request);
        !problem.isEmpty())
        return problem;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2)
        return QStringLiteral("Expected a PICTURE and a FOLDER, got %1 argument%2.")
            .arg(positional.size())
            .arg(positional.size() == 1 ? "" : "s");
    request.picture = positional.at(0);
    request.folder = positional.at(1);
    if (request.picture.isEmpty() || request.folder.isEmpty())
        return QStringLiteral("%1 is empty.")
            .arg(request.picture.isEmpty() ? QStringLiteral("PICTURE") : QStringLiteral("FOLDER"));
    return {};
}

// The folders that making `folder` would make, deepest first, so that a failure can take them
// away again.
QStringList missingFolders(const QString& folder) {
    QStringList made;
    for (QString up = QFileInfo(folder).absoluteFilePath(); !QFileInfo::exists(up);
         up = QFileInfo(up).path())
        made << up;
    return made;
}

// The folder's files from the picture, as the request asks, cut into `grid`.
puzzle::ProjectOutcome writeRequest(const Request& request, puzzle::Grid grid,
                                    picture::Source& source) {
    // FOLDER is made when it is missing, also when another run takes it away meanwhile.
    const puzzle::ProjectFolder folder(request.folder, folder::StagedFolder::Missing::Make);
    if (request.choice.modern)
        return puzzle::writeModernProject(source, grid, request.solveButton, request.choice,
                                          folder);
    const puzzle::SizeRow& row = *request.row;
    // The same page the window writes: the filled template, then the table text.
    const QString pageText =
        puzzle::fillPlaceholders(QString::fromLatin1(puzzle::pageTemplate()), row) +
        puzzle::buildTableText(row, request.solveButton);
    return puzzle::writeProject(source, puzzle::Grid::square(row.n), folder, pageText.toLatin1());
}

// Reads the picture, makes the folder when it is missing and writes the puzzle into it.
int makePuzzle(const Request& request) {
    // The picture is read before the folder is touched, as in the window, so a picture that
    // cannot be read leaves no trace.
    QString error;
    const std::unique_ptr<picture::Source> source = puzzle::openChosenPicture(
        request.picture, request.choice, picture::SourceCheck::Header, error);
    if (!source)
        return failure(error);

    const QString& folder = request.folder;
    const QFileInfo folderInfo(folder);
    if (folderInfo.exists() && !folderInfo.isDir())
        return failure(QStringLiteral("%1 is not a folder.").arg(folder));
    const QStringList made = missingFolders(folder);
    if (!folderInfo.isDir() && !QDir().mkpath(folder))
        return failure(QStringLiteral("Could not make the folder %1.").arg(folder));

    // A signal stops the run where it can leave the folder as it was, then ends the process.
    const folder::InterruptGuard guard;
    puzzle::Grid grid = request.grid;
    if (request.autoGrid) {
        const puzzle::GridSides sides =
            puzzle::autoGrid(source->size().width(), source->size().height());
        grid = {sides.columns, sides.rows};
    }
    const puzzle::ProjectOutcome outcome = writeRequest(request, grid, *source);
    if (!outcome.ok) {
        // Only folders made by this run go again, and only while they are empty and no other run
        // holds or waits for the folder itself.
        if (!made.isEmpty() && folder::removeUnusedFolder(made.front()))
            for (const QString& path : made.mid(1))
                if (!QDir().rmdir(path))
                    break;
        return failure(outcome.error);
    }

    QTextStream out(stdout);
    out << "wrote " << outcome.pieces << " pieces ";
    if (!request.row)
        out << '(' << grid.columns << 'x' << grid.rows << ") ";
    out << "of " << outcome.pieceSize.width() << 'x' << outcome.pieceSize.height();
    if (request.choice.singleFile)
        out << " inside index.html to " << folder << "\n";
    else
        out << ", white.jpg and index.html to " << folder << "\n";
    return kWritten;
}

int commandLine(int argc, char** argv) {
    // Qt takes arguments of its own out of what it is given (debugging options, even after "--"):
    // it gets only the program's name, and the arguments are read here as the bytes they are.
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);
    const Arguments arguments = readArguments(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tilemaven"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TILEMAVEN_VERSION));

    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(arguments.all))
        return badUsage(parser.errorText());
    if (answeredQuestion(parser))
        return kWritten;
    Request request;
    if (QString problem = readRequest(parser, arguments.lossy, request); !problem.isEmpty())
        return badUsage(problem);
    // A name whose bytes are not valid in the system's encoding would come back as another name.
    for (const QString& path : {request.picture, request.folder})
        if (arguments.lossy.contains(path))
            return failure(QStringLiteral("%1 cannot be used: its name is not valid in the "
                                          "system's encoding (UTF-8).")
                               .arg(path));
    return makePuzzle(request);
}

} // namespace

int readWindowChoice(int argc, char** argv, PageChoice& choice) {
    // No application object yet: the window makes its own once the arguments are known to be good.
    QCoreApplication::setApplicationName(QString::fromLatin1(kProgram));
    QCommandLineParser parser;
    addOptions(parser);
    const Arguments arguments = readArguments(argc, argv);
    if (!parser.parse(arguments.all))
        return badUsage(parser.errorText());
    if (parser.isSet(QStringLiteral("grid")) || parser.isSet(QStringLiteral("solve-button")) ||
        !parser.positionalArguments().isEmpty())
        return badUsage(QStringLiteral(
            "--window asks for the size, the solve button, the picture and the folder in the "
            "window; without --window, --grid N PICTURE FOLDER makes the puzzle here."));
    if (QString problem = readPageChoice(parser, arguments.lossy, choice); !problem.isEmpty())
        return badUsage(problem);
    return kStartWindow;
}
