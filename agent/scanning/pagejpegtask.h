#pragma once

#include "scanning/rawpage.h"

#include <QRunnable>
#include <QString>

class KELPagePipeline;

// Encodes one scanned page as JPEG on the pool, straight from what the source delivered, keeps
// the delivered page as a BMP when asked, writes the JPEG file and gives the page back to the
// pipeline, which hands it to the uploader in page order.
class KELPageJpegTask : public QRunnable {
public:
    static constexpr int kQuality = 75;

    KELPageJpegTask(KELPagePipeline* pipeline, int sequence, KELRawPage page, const QString& jpegPath,
                    const QString& originPath, int sortNo);
    void run() override;

private:
    KELPagePipeline* pipeline;
    int sequence;
    KELRawPage page;
    QString jpegPath;
    QString originPath;
    int sortNo;
};
