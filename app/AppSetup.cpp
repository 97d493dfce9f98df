#include "AppSetup.h"

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QMetaObject>

#include "AppShell.h"
#include "Dispatcher.h"

void InstallQtDispatcherHooks() {
    SetMainThread();
    SetWakeMainThreadHook([] {
        if (auto* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(app, [] { CheckSynchronize(); }, Qt::QueuedConnection);
    });
    SetProcessMessagesHook([] { QCoreApplication::processEvents(QEventLoop::AllEvents); });
}

void ApplySkin() {
    Q_INIT_RESOURCE(resources);
    QFile skin(":/skin/skin.qss");
    if (skin.open(QIODevice::ReadOnly))
        qApp->setStyleSheet(QString::fromUtf8(skin.readAll()));
    // The installed icon theme's icon where there is one, else the bundled sizes; the desktop
    // entry lets a compositor match the windows to the menu entry.
    QIcon bundled;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) bundled.addFile(QString(":/icon/%1.png").arg(size));
    QApplication::setWindowIcon(QIcon::fromTheme(DesktopId, bundled));
    QGuiApplication::setDesktopFileName(DesktopId);
}

TAppWindows::TAppWindows()
    : LogForm(new TLogForm),
      ErrorForm(new TErrorForm),
      ClipForm(new TClipForm),
      ConvForm(new TConvForm),
      AboutForm(new TAboutForm),
      FileInfoForm(new TFileInfoForm) {
    TFormSet forms;
    forms.ClipForm = ClipForm.get();
    forms.LogForm = LogForm.get();
    forms.ConvForm = ConvForm.get();
    forms.AboutForm = AboutForm.get();
    forms.FileInfoForm = FileInfoForm.get();
    forms.ErrorForm = ErrorForm.get();
    MainForm = std::make_unique<TMainForm>(forms);
}
