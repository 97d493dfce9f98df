// Program entry: the batch mode when the arguments ask for it; otherwise the windows, with the
// files and folders of the command line added, until the main window closes.
#include <QApplication>
#include <QTimer>
#include <cstdio>

#include "AppSetup.h"
#include "BatchMode.h"
#include "CommandLine.h"

int main(int argc, char* argv[]) {
    if (IsBatchInvocation(argc, argv)) return BatchMain(argc, argv);
    QApplication app(argc, argv);
    QApplication::setOrganizationName("Quendral");
    QApplication::setApplicationName("Quendral Audio Converter");
    // Qt has taken its own options (-platform, -style ...); the rest are files and folders.
    QStringList files;
    try {
        const QStringList args = QApplication::arguments().mid(1);
        std::vector<std::string> list;
        for (const QString& a : args) list.push_back(a.toStdString());
        for (const std::string& f : ParseCommandLine(list).Inputs) files << QString::fromStdString(f);
    } catch (const EUsageError& e) {
        std::fprintf(stderr, "quendral-audio-converter: %s\n%s\n", e.what(),
                     UsageHint("quendral-audio-converter").c_str());
        return 2;
    }
    InstallQtDispatcherHooks();
    ApplySkin();
    TAppWindows windows;
    windows.MainForm->show();
    if (!files.isEmpty())
        QTimer::singleShot(0, windows.MainForm.get(), [&] { windows.MainForm->AddCommandLineFiles(files); });
    return app.exec();
}
