#include <gtest/gtest.h>

#include <QApplication>
#include <atomic>
#include <thread>

#include "AppSetup.h"
#include "Dispatcher.h"

// The Qt hooks carry a worker's Synchronize into the running event loop.
TEST(AppStart, MainWindowShowsAndQtLoopServesHandOvers) {
    int argc = 1;
    char name[] = "app_start_test";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    InstallQtDispatcherHooks();
    QMainWindow form;
    form.setWindowTitle("Quendral Audio Converter");
    form.show();

    std::atomic<bool> ranOnMain{false};
    std::thread worker([&] {
        Synchronize([&] { ranOnMain = IsMainThread(); });
        QMetaObject::invokeMethod(&app, [] { QApplication::quit(); }, Qt::QueuedConnection);
    });
    app.exec();
    worker.join();
    EXPECT_TRUE(ranOnMain);
}
