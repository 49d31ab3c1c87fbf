#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

namespace puzzle {

// Encodes pictures given row by row in the memory layout of QImage::Format_RGB32, the way the
// pieces have always been written: baseline JPEG, quality 75 (the framework encoder's default),
// 4:2:0, a JFIF header at 72 dots per inch. One encoder makes one picture at a time and may be
// reused for the next; it may live on any thread, but on one at a time.
class JpegEncoder {
public:
    static constexpr int kQuality = 75;

    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // Starts a picture of `width` by `height`, abandoning any unfinished one.
    bool begin(int width, int height);
    // The next `count` rows, each `width` pixels of 4 bytes.
    bool write(const unsigned char* const* rows, int count);
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

} // namespace puzzle
