// Program entry: creates the windows and runs until the main window closes.
#include <QApplication>

#include "AppSetup.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName("Quendral");
    QApplication::setApplicationName("Quendral Audio Converter");
    InstallQtDispatcherHooks();
    ApplySkin();
    TAppWindows windows;
    windows.MainForm->show();
    return app.exec();
}
