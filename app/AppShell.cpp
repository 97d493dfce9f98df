#include "AppShell.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>
#include <filesystem>

#include "Platform.h"
#include "libsdl.h"

#ifndef _WIN32
#include <sys/utsname.h>
#endif
#ifdef QAC_HAVE_QTDBUS
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>

const char* const SettingsOrganization = "Quendral";
const char* const SettingsApplication = "Quendral Audio Converter";
#endif

namespace {
QString GApplicationFolderOverride;
TShellOpen GShellOpen;

QString WithSeparator(QString AFolder) {
    if (!AFolder.isEmpty() && !AFolder.endsWith(QLatin1Char('/')) &&
        !AFolder.endsWith(QDir::separator()))
        AFolder += QDir::separator();
    return AFolder;
}
}  // namespace

QString ApplicationFolder() {
    if (!GApplicationFolderOverride.isEmpty()) return WithSeparator(GApplicationFolderOverride);
    return WithSeparator(QDir::toNativeSeparators(QCoreApplication::applicationDirPath()));
}

void SetApplicationFolder(const QString& AFolder) { GApplicationFolderOverride = AFolder; }

QString ReadTempFolder() {
    std::error_code ec;
    const auto temp = std::filesystem::temp_directory_path(ec);
    if (ec) return {};
    return WithSeparator(QString::fromStdString(PathToUtf8(temp)));
}

QString GetSpecialFolder(int ACSIDL) {
    QStandardPaths::StandardLocation location;
    switch (ACSIDL) {
        case CSIDL_PERSONAL: location = QStandardPaths::DocumentsLocation; break;
        case CSIDL_MYMUSIC: location = QStandardPaths::MusicLocation; break;
        default: return {};
    }
    const QString folder = QStandardPaths::writableLocation(location);
    if (folder.isEmpty() || !QDir().mkpath(folder)) return {};
    return QDir::toNativeSeparators(folder);
}

QString SDLSourceLibrary() {
#ifdef _WIN32
    const QString shipped = ApplicationFolder() + "LibAV\\SDL.dll";
    return QFileInfo::exists(shipped) ? shipped : QString();
#else
    const QString shipped = ApplicationFolder() + "LibAV/libSDL2-2.0.so.0";
    if (QFileInfo::exists(shipped)) return shipped;
    // The system's SDL2, looked up where the dynamic loader looks, without loading it.
    QStringList dirs = qEnvironmentVariable("LD_LIBRARY_PATH").split(':', Qt::SkipEmptyParts);
    dirs << QStringLiteral(QAC_SYSTEM_LIBDIR) << "/usr/local/lib" << "/usr/lib/x86_64-linux-gnu"
         << "/lib/x86_64-linux-gnu" << "/usr/lib/aarch64-linux-gnu" << "/usr/lib64" << "/usr/lib"
         << "/lib";
    for (const QString& dir : dirs) {
        const QString candidate = dir + "/libSDL2-2.0.so.0";
        if (QFileInfo(candidate).isFile()) return candidate;
    }
    return {};
#endif
}

QString SDLCopyFolder(QString* AError) {
    std::string error;
    const auto folder = SDLCopyFolder(error);
    if (folder.empty() && AError) *AError = "playback is unavailable: " + QString::fromStdString(error);
    return folder.empty() ? QString() : WithSeparator(QString::fromStdString(PathToUtf8(folder)));
}

QString PrepareSDLCopy(int AIndex) {
    const QString name = QString::fromStdString(SDLCopyName(AIndex));
    const QString source = SDLSourceLibrary();
    if (source.isEmpty()) return name;
    std::string error;
    PrepareSDLCopy(Utf8ToPath(source.toStdString()), AIndex, error);
    return name;
}

void ShellOpen(const QUrl& AUrl) {
    if (GShellOpen)
        GShellOpen(AUrl);
    else
        QDesktopServices::openUrl(AUrl);
}

void SetShellOpen(TShellOpen AOpen) { GShellOpen = std::move(AOpen); }

#ifdef _WIN32
QString TSystemControl::GetWindowsVersion() {
    TWindowsVersion info;
    if (!QueryWindowsVersion(info)) return {};
    QString platform;
    switch (info.PlatformId) {
        case 0: platform = "Win32s"; break;
        case 1: platform = "Windows 95"; break;
        case 2: platform = "Windows NT"; break;
        default: break;
    }
    return QString("%1 Version %2.%3\r\n (Build %4: %5)")
        .arg(platform)
        .arg(info.Major)
        .arg(info.Minor)
        .arg(info.Build)
        .arg(QString::fromStdString(info.ServicePack));
}

void TSystemControl::ShutdownComputer() {
    if (GetWindowsVersion().startsWith("Windows NT")) {
        const std::string failed = EnableShutdownPrivilege();
        if (!failed.empty()) {
            QMessageBox::critical(nullptr, QString::fromStdString(failed) + "() Failed", "Exit Error");
            return;
        }
    }
    ForceShutdown();
}
#else
QString TSystemControl::GetWindowsVersion() {
    utsname info{};
    if (uname(&info) != 0) return {};
    // The release "6.1.0-13-amd64" gives major 6 and minor 1; the build is the whole release.
    const QString release = QString::fromLocal8Bit(info.release);
    const QStringList parts = release.section('-', 0, 0).split('.');
    return QString("%1 Version %2.%3\r\n (Build %4: %5)")
        .arg(QString::fromLocal8Bit(info.sysname), parts.value(0, "0"), parts.value(1, "0"),
             release, QString::fromLocal8Bit(info.version));
}

void TSystemControl::ShutdownComputer() {
#ifdef QAC_HAVE_QTDBUS
    QDBusInterface logind("org.freedesktop.login1", "/org/freedesktop/login1",
                          "org.freedesktop.login1.Manager", QDBusConnection::systemBus());
    if (logind.isValid()) {
        const QDBusReply<void> reply = logind.call("PowerOff", false);
        if (reply.isValid()) return;
    }
#endif
    if (QProcess::execute("systemctl", {"poweroff"}) != 0)
        QMessageBox::critical(nullptr, "PowerOff() Failed", "Exit Error");
}
#endif
