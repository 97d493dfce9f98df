#include "AppSetup.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "Dispatcher.h"

void InstallQtDispatcherHooks() {
    SetMainThread();
    SetWakeMainThreadHook([] {
        if (auto* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(app, [] { CheckSynchronize(); }, Qt::QueuedConnection);
    });
    SetProcessMessagesHook([] { QCoreApplication::processEvents(QEventLoop::AllEvents); });
}
