#pragma once

#include <QAbstractNativeEventFilter>
#include <QApplication>

#include <memory>

class MainWindow;

// Hands native window messages to the controller's TWAIN session while a source is enabled,
// and swallows the ones that belong to the data source.
class MyMsgEventFilter : public QAbstractNativeEventFilter {
public:
    bool nativeEventFilter(const QByteArray& eventType, void* message, long* result) override;
};

class CQTWAINApp : public QApplication {
    Q_OBJECT
public:
    CQTWAINApp(int& argc, char** argv);
    ~CQTWAINApp() override;

    MainWindow* controller = nullptr;

private:
    std::unique_ptr<MyMsgEventFilter> msgFilter;
};
