// SPDX-License-Identifier: MIT
// What the browser test needs from C++: a source picture with distinct, numbered regions, and the
// size table exactly as the program holds it.
//   browser_fixture picture DIR   writes DIR/picture.jpg (the input) and DIR/picture.ppm (its
//                                 lossless pixels, the reference for the screenshot)
//   browser_fixture other DIR     the same as DIR/other.jpg and DIR/other.ppm, every region another
//                                 colour than in picture: the next picture for a reused folder
//   browser_fixture table         prints the grid sizes and scramble orders as JSON

#include "puzzle/sizetable.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QString>

#include <cstdio>
#include <cstring>

namespace {

// Neither side divides by any grid size from 3 to 9, so every puzzle trims both edges.
constexpr int kWidth = 421;
constexpr int kHeight = 313;
constexpr int kRegion = 16;

// Region (bx, by) gets its own red and green level, so its colour is its number; the blue
// checkerboard gives every region edge a sharp contrast that a misplaced piece cannot hide.
QImage numberedRegions(bool other) {
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    for (int y = 0; y < kHeight; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < kWidth; ++x) {
            const int bx = x / kRegion;
            const int by = y / kRegion;
            const int red = 20 + 8 * bx, green = 20 + 10 * by;
            line[x] = other ? qRgb(255 - red, 255 - green, (bx + by) % 2 ? 60 : 220)
                            : qRgb(red, green, (bx + by) % 2 ? 150 : 90);
        }
    }
    return image;
}

bool writePpm(const QImage& image, const QString& path) {
    QByteArray bytes = QByteArray("P6\n") + QByteArray::number(image.width()) + ' ' +
                       QByteArray::number(image.height()) + "\n255\n";
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            bytes.append(char(qRed(p))).append(char(qGreen(p))).append(char(qBlue(p)));
        }
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

int writePicture(const QString& dir, const QString& name) {
    const QImage image = numberedRegions(name == QLatin1String("other"));
    if (!image.save(QDir(dir).filePath(name + QStringLiteral(".jpg")), "JPEG", 95) ||
        !writePpm(image, QDir(dir).filePath(name + QStringLiteral(".ppm")))) {
        std::fprintf(stderr, "browser_fixture: cannot write the picture into %s\n",
                     qPrintable(dir));
        return 1;
    }
    return 0;
}

int printTable() {
    std::printf("{\"sizes\":[");
    bool first = true;
    for (const puzzle::SizeRow& row : puzzle::sizeTable()) {
        std::printf("%s{\"n\":%d,\"order\":[%.*s]}", first ? "" : ",", row.n,
                    int(row.scrambleOrder.size()), row.scrambleOrder.data());
        first = false;
    }
    std::printf("]}\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && (std::strcmp(argv[1], "picture") == 0 || std::strcmp(argv[1], "other") == 0))
        return writePicture(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[1]));
    if (argc == 2 && std::strcmp(argv[1], "table") == 0)
        return printTable();
    std::fprintf(stderr, "usage: browser_fixture picture|other DIR | browser_fixture table\n");
    return 2;
}
