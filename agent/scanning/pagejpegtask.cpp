#include "scanning/pagejpegtask.h"

#include "foundation/logging.h"
#include "upload/uploadermgr.h"

#include <QBuffer>
#include <QFile>

KELPageJpegTask::KELPageJpegTask(const QImage& image, const QString& jpegPath, int sortNo)
    : image(image)
    , jpegPath(jpegPath)
    , sortNo(sortNo)
{
}

QByteArray KELPageJpegTask::encode(const QImage& image)
{
    QByteArray bytes;
    if (image.isNull())
        return bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "JPG", kQuality))
        bytes.clear();
    return bytes;
}

void KELPageJpegTask::run()
{
    const QByteArray bytes = encode(image);
    if (bytes.isEmpty())
        return;
    KELUploaderMgr::instance()->uploadFile(jpegPath, sortNo, bytes);
    QFile file(jpegPath);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size()) {
        KLOG->info("OnNativeTransfer: saved file succeed, name is {}, origin file size: {}", jpegPath, bytes.size());
    } else {
        KLOG->info("OnNativeTransfer: saved file failed, name is {}, origin file size: {}", jpegPath, bytes.size());
    }
}
