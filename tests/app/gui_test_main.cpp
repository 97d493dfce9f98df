// GoogleTest entry of the GUI suites: one QApplication with the program's hooks and skin.
#include <gtest/gtest.h>

#include <QApplication>

#include "AppSetup.h"

int main(int argc, char* argv[]) {
    // The suites drive the windows offscreen, also when CTest lists their cases.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    InstallQtDispatcherHooks();
    ApplySkin();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
