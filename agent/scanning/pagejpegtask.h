#pragma once

#include <QImage>
#include <QRunnable>
#include <QString>

// Encodes one scanned page as JPEG off the GUI thread, hands the bytes to the uploader and
// then writes the page's file, so the upload never waits for the disk.
class KELPageJpegTask : public QRunnable {
public:
    static constexpr int kQuality = 75;

    KELPageJpegTask(const QImage& image, const QString& jpegPath, int sortNo);
    void run() override;

    // The JPEG bytes of the image at kQuality; empty when it cannot be encoded.
    static QByteArray encode(const QImage& image);

private:
    QImage image;
    QString jpegPath;
    int sortNo;
};
