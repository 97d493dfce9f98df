#include "RunNotice.h"

#include <QWidget>

#include "AppShell.h"

#ifdef QAC_HAVE_QTDBUS
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QVariantMap>
#endif

QString RunNoticeText(int AConverted, int AFailed) {
    const QString converted = AConverted == 1 ? "1 file converted" : QString("%1 files converted").arg(AConverted);
    if (AFailed == 0) return converted + ".";
    return converted + (AFailed == 1 ? ", 1 failed." : QString(", %1 failed.").arg(AFailed));
}

bool NotifyRunEnded(const QWidget* AWindow, qint64 AElapsedMillis, int AConverted, int AFailed) {
    if (AElapsedMillis < RunNoticeMinimumMillis || (AWindow && AWindow->isActiveWindow())) return false;
#ifdef QAC_HAVE_QTDBUS
    const char* const service = "org.freedesktop.Notifications";
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(service)) return false;
    QDBusMessage call = QDBusMessage::createMethodCall(service, "/org/freedesktop/Notifications", service, "Notify");
    QVariantMap hints;
    hints.insert("desktop-entry", DesktopId);
    call << QString("Quendral Audio Converter") << 0u << QString(DesktopId)
         << QString(AFailed ? "Conversion finished with errors" : "Conversion finished")
         << RunNoticeText(AConverted, AFailed) << QStringList() << hints << -1;
    // Sent without waiting for the answer: the end of a run never waits on the desktop.
    return bus.send(call);
#else
    (void)AConverted;
    (void)AFailed;
    return false;
#endif
}
