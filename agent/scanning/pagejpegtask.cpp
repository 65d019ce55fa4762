#include "scanning/pagejpegtask.h"

#include "foundation/backgroundwork.h"
#include "scanning/pagepipeline.h"

#include <QFile>

KELPageJpegTask::KELPageJpegTask(KELPagePipeline* pipeline, int sequence, KELRawPage page, const QString& jpegPath,
                                 const QString& originPath, int sortNo)
    : pipeline(pipeline)
    , sequence(sequence)
    , page(std::move(page))
    , jpegPath(jpegPath)
    , originPath(originPath)
    , sortNo(sortNo)
{
}

void KELPageJpegTask::run()
{
    KELBackgroundWork::markThisThread();
    pipeline->holdForTest(sortNo, sequence);
    KELPagePipeline::EncodedPage encoded;
    encoded.jpegPath = jpegPath;
    encoded.sortNo = sortNo;
    QByteArray jpeg = page.encodeJpeg(originPath);
    // The delivered page is the biggest thing a page holds: gone before the file is written.
    page.release();
    if (!jpeg.isEmpty()) {
        encoded.encoded = true;
        encoded.size = jpeg.size();
        QFile file(jpegPath);
        encoded.saved = file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(jpeg) == jpeg.size();
        // A page that did not reach the disk is uploaded from memory: nothing is lost.
        if (!encoded.saved)
            encoded.unsaved = std::move(jpeg);
    }
    pipeline->finished(sequence, std::move(encoded));
}
