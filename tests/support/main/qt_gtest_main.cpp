#include "isolation.h"

#include "http/curlrequest.h"

#include <QApplication>
#include <QThreadPool>

#include <gtest/gtest.h>

// The main of every test program: a QApplication on the offscreen platform (unless the
// environment names another), with the user's folders pointed at a private place.
int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    vtest::isolateUserFolders();
    QApplication app(argc, argv);
    CUrlRequest::globalInit();
    QThreadPool::globalInstance()->setMaxThreadCount(30); // as the agent sets it
    QCoreApplication::setOrganizationName("kelmora");
    QCoreApplication::setApplicationName("vellox");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
