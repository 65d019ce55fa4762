#include "isolation.h"
#include "xvfbdisplay.h"

#include "foundation/startup.h"
#include "http/curlrequest.h"

#include <QApplication>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <cstdio>

// The main of every test program: a QApplication on the offscreen platform (unless the
// environment names another), with the user's folders pointed at a private place. Built with
// VELLOX_TEST_XVFB, its windows go to a private X display instead.
int main(int argc, char** argv)
{
#ifdef VELLOX_TEST_XVFB
    const bool listingOnly = argc > 1 && qstrcmp(argv[1], "--gtest_list_tests") == 0;
    if (listingOnly) {
        ::testing::InitGoogleTest(&argc, argv);
        return RUN_ALL_TESTS();
    }
    vtest::XvfbDisplay& display = vtest::XvfbDisplay::shared();
    if (!display.isRunning()) {
        fprintf(stderr, "no X display for the tests: %s\n", qPrintable(display.errorString()));
        return 1;
    }
    display.useForThisProcess();
    qputenv("QT_QPA_PLATFORM", "xcb");
#endif
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    vtest::isolateUserFolders();
    QApplication app(argc, argv);
    velloxInitResources();
    CUrlRequest::globalInit();
    QThreadPool::globalInstance()->setMaxThreadCount(30); // as the agent sets it
    QCoreApplication::setOrganizationName("kelmora");
    QCoreApplication::setApplicationName("vellox");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
