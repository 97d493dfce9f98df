#include "AppTestEnv.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <cstdlib>

#include "AppShell.h"
#include "Decryptor.h"
#include "errordlg.h"

namespace {
// The surroundings the suite started with, restored after every test.
const QByteArray GHome = qgetenv("HOME"), GConfig = qgetenv("XDG_CONFIG_HOME"),
                 GTemp = qgetenv("TMPDIR"), GRuntime = qgetenv("XDG_RUNTIME_DIR");

void RestoreEnv(const char* AName, const QByteArray& AValue) {
    if (AValue.isNull())
        qunsetenv(AName);
    else
        qputenv(AName, AValue);
}
}  // namespace

void TAppTest::SetUp() {
    ASSERT_TRUE(FRoot.isValid());
    for (const char* d : {"home", "config", "tmp", "app/audio-converter-profiles"})
        ASSERT_TRUE(QDir().mkpath(Path(d)));
    qputenv("HOME", Path("home").toUtf8());
    qputenv("XDG_CONFIG_HOME", Path("config").toUtf8());
    qputenv("TMPDIR", Path("tmp").toUtf8());
    qunsetenv("XDG_RUNTIME_DIR");  // private SDL copies under the test's temporary folder
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Path("config"));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, Path("config"));
    for (const char* f : {"formats.dat", "gs.bmp", "logo.bmp"})
        ASSERT_TRUE(QFile::copy(QString(QAC_PROFILE_FOLDER) + "/" + f, ProfileFolder() + f)) << f;
    SetApplicationFolder(Path("app/"));
    SetShellOpen([this](const QUrl& AUrl) { Opened << AUrl; });
}

void TAppTest::TearDown() {
    FModalTimer.reset();
    SetShellOpen(nullptr);
    SetApplicationFolder({});
    RestoreEnv("HOME", GHome);
    RestoreEnv("XDG_CONFIG_HOME", GConfig);
    RestoreEnv("TMPDIR", GTemp);
    RestoreEnv("XDG_RUNTIME_DIR", GRuntime);
}

void TAppTest::WriteCatalogue(const QString& AText) {
    QFile f(ProfileFolder() + "formats.dat");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(QByteArray::fromStdString(ComplementBytes(AText.toStdString())));
}

QString TAppTest::SettingsFile() const {
    return QSettings("Quendral", "Quendral Audio Converter").fileName();
}

void TAppTest::WriteSettings(const std::function<void(QSettings&)>& AWrite) {
    QSettings s("Quendral", "Quendral Audio Converter");
    AWrite(s);
    s.sync();
}

void TAppTest::AnswerModals(std::function<void(QWidget*)> AAnswer) {
    FAnswered = nullptr;  // a new answer answers the dialog showing now, too
    FModalTimer = std::make_unique<QTimer>();
    QObject::connect(FModalTimer.get(), &QTimer::timeout, [this, AAnswer] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) {
            FAnswered = nullptr;
            return;
        }
        if (modal == FAnswered) return;  // still closing from the last answer
        FAnswered = modal;
        AAnswer(modal);
    });
    FModalTimer->start(5);
}

void TAppTest::CancelErrors() {
    AnswerModals([this](QWidget* AModal) {
        if (auto* form = qobject_cast<TErrorForm*>(AModal)) {
            ErrorMessages << form->lblErrorText()->text();
            form->spSkinButton1()->click();
        }
    });
}

std::unique_ptr<TAppWindows> TAppTest::Start() { return std::make_unique<TAppWindows>(); }

void ProcessPending() {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

void CloseUpWith(QComboBox* ACombo, int AIndex) {
    ACombo->showPopup();
    ProcessPending();
    if (AIndex >= 0) ACombo->setCurrentIndex(AIndex);
    ACombo->hidePopup();
    ProcessPending();
}
