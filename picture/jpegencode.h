// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

namespace picture {

// Encodes pictures given row by row, the way the pieces have always been written: baseline JPEG,
// quality 75 (the framework encoder's default), 4:2:0, a JFIF header at 72 dots per inch. One
// encoder makes one picture at a time and may be reused for the next; it may live on any thread,
// but on one at a time.
class JpegEncoder {
public:
    static constexpr int kQuality = 75;

    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    enum class Input {
        Rgb32,  // rows of 4 bytes a pixel, as in QImage::Format_RGB32
        Planes, // Y, Cb and Cr planes as JPEG stores them, chroma at half size each way
    };

    // Starts a picture of `width` by `height`, abandoning any unfinished one.
    bool begin(int width, int height, Input input = Input::Rgb32);
    // Input::Rgb32: the next `count` rows, each `width` pixels.
    bool write(const unsigned char* const* rows, int count);
    // Input::Planes: the next kPlaneRows luma rows and kPlaneRows / 2 rows of each chroma plane,
    // each row padded to planeWidth() and chromaWidth() bytes; rows below the picture are padding.
    static constexpr int kPlaneRows = 16;
    bool writePlanes(const unsigned char* const* y, const unsigned char* const* cb,
                     const unsigned char* const* cr);
    static int planeWidth(int width) { return (width + 7) / 8 * 8; }
    static int chromaWidth(int width) { return ((width + 1) / 2 + 7) / 8 * 8; }

    // Once every row is written: the whole file.
    bool end(QByteArray& file);

    QString error() const { return m_error; }

private:
    struct State;
    std::unique_ptr<State> m_state;
    QString m_error;
};

// A picture of `width` by `height` that is white all over, encoded as every piece is.
bool encodeWhite(int width, int height, QByteArray& file, QString& error);

} // namespace picture
