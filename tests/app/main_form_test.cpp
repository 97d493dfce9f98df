// The main window's start-up, settings, open-dialog filter and profile handlers, driven
// offscreen with a private home, settings store and program folder per test.
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QThread>
#include <QCheckBox>
#include <QAbstractButton>
#include <QWheelEvent>
#include <QProcess>
#ifdef QAC_HAVE_QTDBUS
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#endif
#include <QTest>
#include <QComboBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSettings>
#include <QSpinBox>
#include <QTableView>

#include <sys/stat.h>
#include <unistd.h>

#include "AppSetup.h"
#include "AppShell.h"
#include "AppTestEnv.h"
#include "OpenFilter.h"
#include "PlayerScreen.h"
#include "RunNotice.h"
#include "UserDialogs.h"

namespace {

template <typename T>
T* Child(QWidget* AWindow, const char* AName) {
    T* w = AWindow->findChild<T*>(AName);
    EXPECT_NE(w, nullptr) << AName;
    return w;
}

QStringList Items(QComboBox* ACombo) {
    QStringList items;
    for (int i = 0; i < ACombo->count(); ++i) items << ACombo->itemText(i);
    return items;
}

QString Cell(TMainForm& AForm, int AJob, int AColumn) {
    return AForm.AudioFilesModel()->index(AJob, AColumn).data().toString();
}

// Three five-minute jobs, the second one current.
void AddJobs(TMainForm& AForm) {
    for (const char* name : {"a.wav", "b.wav", "c.wav"}) {
        TAudioFile job;
        job.Source = std::string("/music/") + name;
        job.SourceTitleExt = name;
        job.DestinationTitle = std::string(name, 1);
        job.TrimmedLength = job.TimeEnd = 300'900'000;
        job.ProfileInd = AForm.CurrentProfileInd;
        AForm.AudioFiles.push_back(job);
    }
    AForm.AudioFilesModel()->Reload();
    AForm.UpdateAllEstimates();
    AForm.SetCurrentRow(2);
}

const char* const TwoProfiles = R"(<ProfileSet>
<Profile>
<profilename value="First" />
<formatext value=".one" />
<audiocodecs value="c1$Codec 1,c2$Codec 2" />
<audiocodecname value="c1" />
<samplerates value="44100$44.1 kHz,48000$48 kHz" />
<samplerate value="44100" />
<audiobitrates value="128000$128,256000$256" />
<audiobitrate value="128000" />
<channels value="1$Mono,2$Stereo" />
<channel value="2" />
<Profile>
<profilename value="Second" />
<formatext value=".two" />
<audiocodecs value="c3$Codec 3" />
<audiocodecname value="c3" />
<samplerates value="22050$22 kHz" />
<samplerate value="22050" />
<audiobitrates value="64000$64" />
<audiobitrate value="64000" />
<channels value="Mono,Stereo" />
<channel value="1" />
</ProfileSet>
)";

}  // namespace

class MainFormTest : public TAppTest {};

TEST_F(MainFormTest, FirstRunCreatesTheOutputFolderAndSelectsTheFirstShippedProfile) {
    CancelErrors();
    auto app = Start();
    TMainForm& form = *app->MainForm;
    EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();

    const QString output = Path("home/Documents/Quendral/Quendral Audio Converter/Output");
    EXPECT_TRUE(QFileInfo(output).isDir());
    EXPECT_EQ(Child<QLineEdit>(&form, "edDestinationFolder")->text(), output);
    EXPECT_EQ(form.dlgopen.InitialDir, Path("home/Music"));
    EXPECT_EQ(form.TempFolder, Path("tmp") + "/");
    EXPECT_EQ(form.LoggerHistory, QStringList{"FFLOGGER HISTORY:"});

    auto* profile = Child<QComboBox>(&form, "cmbProfile");
    ASSERT_GE(profile->count(), 14);
    EXPECT_EQ(profile->currentIndex(), 0);
    EXPECT_EQ(form.CurrentProfileInd, 0);
    EXPECT_EQ(form.RecentProfileInd, 0);
    EXPECT_EQ(form.LastEditedProfileInd, -1);
    for (const char* title : {"MP3", "AAC (M4A)", "Ogg Vorbis", "Opus", "FLAC", "WAV", "AIFF", "WMA", "AC3",
                              "MP2", "ALAC", "M4R ringtone", "WavPack", "Matroska audio"})
        EXPECT_TRUE(Items(profile).contains(title)) << title;
    // The four selectors show the first profile's lists with its chosen values selected.
    EXPECT_EQ(Child<QComboBox>(&form, "cmbSampleRate")->currentText(), "44100 Hz");
    EXPECT_EQ(Child<QComboBox>(&form, "cmbAudioBitRate")->currentText(), "192 kbps");
    EXPECT_EQ(Child<QComboBox>(&form, "cmbChannel")->currentText(), "Stereo");
    EXPECT_EQ(Child<QComboBox>(&form, "cmbAudioEncoder")->currentText(), "MP3 (LAME)");

    // Grid, getting-started panel and the fixed parts of the layout.
    auto* grid = Child<QTableView>(&form, "sgList");
    const int widths[] = {132, 92, 87, 115, 48};
    const char* captions[] = {"Source", "Trimmed Length", "Estimated Size", "Destination File", "Format"};
    for (int c = 0; c < 5; ++c) {
        EXPECT_EQ(grid->columnWidth(c), widths[c]);
        EXPECT_EQ(grid->model()->headerData(c, Qt::Horizontal).toString(), captions[c]);
    }
    EXPECT_EQ(grid->horizontalHeader()->height(), 20);
    EXPECT_FALSE(Child<QWidget>(&form, "GettingStartedPanel")->isHidden());
    EXPECT_FALSE(Child<QLabel>(&form, "GettingStartedImage")->pixmap().isNull());
    EXPECT_TRUE(Child<QWidget>(&form, "panPreview")->isHidden());
    EXPECT_EQ(Child<QLabel>(&form, "lblPlayTime")->text(), "00:00:00 / 00:00:00");
    EXPECT_TRUE(Child<QCheckBox>(&form, "chApplyToAll")->isChecked());
    EXPECT_EQ(Child<QCheckBox>(&form, "chApplyToAll")->text(), "Apply the settings to all  items");
    EXPECT_FALSE(Child<QCheckBox>(&form, "chMerge")->isChecked());
    auto* volume = Child<QSpinBox>(&form, "edVolume");
    EXPECT_EQ(volume->value(), 100);
    EXPECT_EQ(volume->minimum(), 1);
    EXPECT_EQ(volume->maximum(), 5000);
    EXPECT_EQ(Child<QWidget>(&form, "SupportButton")->property("text").toString(), "Support   ");
    EXPECT_FALSE(Child<QAction>(&form, "FileInformation2")->isEnabled());
    EXPECT_EQ(Child<QAction>(&form, "oolsitem11")->text(), "Events Log");

    // The other windows exist with their captions.
    EXPECT_EQ(app->LogForm->windowTitle(), "Events Log");
    EXPECT_EQ(app->ErrorForm->windowTitle(), "Error!");
    EXPECT_EQ(app->ClipForm->windowTitle(), "Trim");
    EXPECT_EQ(app->ConvForm->windowTitle(), "Conversion");
    EXPECT_EQ(app->AboutForm->windowTitle(), "About");
    EXPECT_EQ(app->FileInfoForm->windowTitle(), "File Information");
    EXPECT_EQ(Child<QLabel>(app->AboutForm.get(), "lblVersion")->text(), "Version 1.5");
    EXPECT_FALSE(Child<QLabel>(app->AboutForm.get(), "imgLogo")->pixmap().isNull());
}

TEST_F(MainFormTest, StoredSettingsReplaceTheDefaultsAMissingDialogFolderIsDroppedAndStaleWorkingFilesGo) {
    QDir().mkpath(Path("home/Albums"));
    // Working files in the output folder: one a killed run left (no process has the pid
    // pid_max), one of a process that runs.
    QDir().mkpath(Path("elsewhere"));
    QFile pidMax("/proc/sys/kernel/pid_max");
    ASSERT_TRUE(pidMax.open(QIODevice::ReadOnly));
    const QString stale = Path("elsewhere/.qac-" + QString(pidMax.readAll().trimmed()) + "-1.part");
    const QString live = Path("elsewhere/.qac-" + QString::number(QCoreApplication::applicationPid()) + "-1.part");
    for (const QString& name : {stale, live}) {
        QFile f(name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("x");
    }
    WriteSettings([&](QSettings& s) {
        s.setValue("OutputPath", Path("elsewhere"));
        s.setValue("OpenAudioDialogPath", Path("home/Albums"));
        s.setValue("recentprofileind", 3);
    });
    CancelErrors();
    auto app = Start();
    TMainForm& form = *app->MainForm;
    EXPECT_EQ(Child<QLineEdit>(&form, "edDestinationFolder")->text(), Path("elsewhere"));
    EXPECT_EQ(form.dlgopen.InitialDir, Path("home/Albums"));
    EXPECT_EQ(Child<QComboBox>(&form, "cmbProfile")->currentIndex(), 3);
    EXPECT_EQ(form.CurrentProfileInd, 3);
    EXPECT_EQ(Child<QComboBox>(&form, "cmbAudioEncoder")->currentText(), "Opus");
    EXPECT_FALSE(QFileInfo::exists(stale));
    EXPECT_TRUE(QFileInfo::exists(live));
    app.reset();

    QDir(Path("home/Albums")).removeRecursively();
    auto again = Start();
    EXPECT_EQ(again->MainForm->dlgopen.InitialDir, "");
    EXPECT_TRUE(ErrorMessages.isEmpty());
}

TEST_F(MainFormTest, StoredIndicesOutsideTheCatalogueStartWithAValidSelection) {
    for (int stored : {99, -5}) {
        WriteSettings([&](QSettings& s) {
            s.setValue("recentprofileind", stored);
            s.setValue("lasteditedprofileind", 42);
        });
        CancelErrors();
        auto app = Start();
        TMainForm& form = *app->MainForm;
        EXPECT_EQ(Child<QComboBox>(&form, "cmbProfile")->currentIndex(), 0) << stored;
        EXPECT_EQ(form.CurrentProfileInd, 0);
        EXPECT_GT(Child<QComboBox>(&form, "cmbSampleRate")->count(), 0);
        form.close();
        EXPECT_TRUE(ErrorMessages.isEmpty()) << ErrorMessages.join("; ").toStdString();
        QSettings s("Quendral", "Quendral Audio Converter");
        EXPECT_EQ(s.value("recentprofileind").toInt(), 0);
        EXPECT_FALSE(s.contains("audiocodecname"));
    }
}

TEST_F(MainFormTest, UnreadableSettingsStoreStartsWithDefaultsAndIsNotOverwritten) {
    // A folder where the settings file should be cannot be read or written.
    ASSERT_TRUE(QDir().mkpath(SettingsFile()));
    CancelErrors();
    auto app = Start();
    TMainForm& form = *app->MainForm;
    EXPECT_EQ(Child<QComboBox>(&form, "cmbProfile")->currentIndex(), 0);
    EXPECT_TRUE(app->LogForm->Lines().join('\n').contains("-> Cannot read the settings from "));
    form.close();
    EXPECT_EQ(ErrorMessages, QStringList{"Error writing data to Registry"});
    EXPECT_TRUE(QFileInfo(SettingsFile()).isDir());
}

TEST_F(MainFormTest, MissingHomeFoldersLeaveTheBoxesEmptyButTheProfilesWork) {
    // A home that is a plain file: neither the music nor the documents folder can exist.
    QFile file(Path("homefile"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    qputenv("HOME", Path("homefile").toUtf8());
    CancelErrors();
    auto app = Start();
    TMainForm& form = *app->MainForm;
    EXPECT_TRUE(ErrorMessages.isEmpty());
    EXPECT_EQ(form.dlgopen.InitialDir, "");
    EXPECT_EQ(Child<QLineEdit>(&form, "edDestinationFolder")->text(), "");
    EXPECT_FALSE(QFileInfo::exists("/Quendral"));
    EXPECT_EQ(Child<QComboBox>(&form, "cmbProfile")->currentIndex(), 0);
}

TEST_F(MainFormTest, CatalogueThatFailsToLoadStopsStartUpAfterTheErrorDialog) {
    for (const char* broken : {"missing", "key before profile"}) {
        if (QString(broken) == "missing")
            QFile::remove(ProfileFolder() + "formats.dat");
        else
            WriteCatalogue("<profilename value=\"Orphan\" />\n<Profile>\n");
        ErrorMessages.clear();
        CancelErrors();
        WriteSettings([&](QSettings& s) { s.setValue("OutputPath", Path("stored")); });
        auto app = Start();
        TMainForm& form = *app->MainForm;
        EXPECT_EQ(ErrorMessages, QStringList{"Error loading profiles"}) << broken;
        EXPECT_EQ(Child<QComboBox>(&form, "cmbProfile")->count(), 0);
        EXPECT_EQ(Child<QComboBox>(&form, "cmbSampleRate")->count(), 0);
        // Steps 8 to 11 did not run: no folders, no stored settings, no picture.
        EXPECT_FALSE(QFileInfo::exists(Path("home/Documents/Quendral")));
        EXPECT_EQ(Child<QLineEdit>(&form, "edDestinationFolder")->text(), "");
        EXPECT_TRUE(Child<QLabel>(&form, "GettingStartedImage")->pixmap().isNull());
        // The filter was built before the failure.
        EXPECT_TRUE(form.dlgopen.Filter.startsWith("All Supported Formats|*.aac;"));
        // Closing keeps the stored settings: nothing of them was read, so nothing is saved.
        form.close();
        EXPECT_EQ(QSettings("Quendral", "Quendral Audio Converter").value("OutputPath").toString(), Path("stored"));
    }
}

TEST_F(MainFormTest, OpenDialogFilterIsBuiltExactlyAndEveryQtRowFiltersWhatItNames) {
    CancelErrors();
    auto app = Start();
    const QString expected =
        "All Supported Formats|*.aac;*.ac3;*.ape;*.dts;*.flac;*.mka;*.mpa;*.mp2;*.mp3;*.m4a;*.mpc;"
        "*.ofr;*.ogg;*.ra;*.tta;*.wav;*.wma;*.opus;*.aiff; *.aif;*.wv;*.m4r;*.mod;*.mts; *.ts; *m2ts; *.tp;*.avi;*.mp4; *.m4v;"
        "*.mpg; *.mpeg;*.3gp; *.3g2;*.wmv; *.asf;*.rm; *.rmvb;*.dat;*.mov;*.flv; *.f4v;*.mkv;*.dv;"
        "*.nut;*.h.264;*.nsv;*.vob;"
        "|Audio Formats|*.aac;*.ac3;*.ape;*.dts;*.flac;*.mka;*.mpa;*.mp2;*.mp3;*.m4a;*.mpc;*.ofr;"
        "*.ogg;*.ra;*.tta;*.wav;*.wma;*.opus;*.aiff; *.aif;*.wv;*.m4r;"
        "|Video Formats|*.mod;*.mts; *.ts; *m2ts; *.tp;*.avi;*.mp4; *.m4v;*.mpg; *.mpeg;*.3gp; *.3g2;"
        "*.wmv; *.asf;*.rm; *.rmvb;*.dat;*.mov;*.flv; *.f4v;*.mkv;*.dv;*.nut;*.h.264;*.nsv;*.vob;"
        "|Advanced Audio Coding (*.aac)|*.aac;|Dolby-digital AC-3 (*.ac3)|*.ac3;"
        "|Monkey's Audio (*.ape)|*.ape;|Digital Theater System (*.dts)|*.dts;"
        "|Free Lossless Audio (*.flac)|*.flac;|Matroska Audio (*.mka)|*.mka;|MPEG Audio (*.mpa)|*.mpa;"
        "|MP2 MPEG-1 layer 2 audio (*.mp2)|*.mp2;|MP3 MPEG-1 layer 3 audio (*.mp3)|*.mp3;"
        "|MPEG-4 Audio (*.m4a)|*.m4a;|Musepack (*.mpc)|*.mpc;|OptimFROG Audio (*.ofr)|*.ofr;"
        "|OGG Vorbis Audio (*.ogg)|*.ogg;|RealAudio files (*.ra)|*.ra;|The True Audio (*.tta)|*.tta;"
        "|Waveform files (*.wav)|*.wav;|Windows Media Audio (*.wma)|*.wma;"
        "|Opus Audio (*.opus)|*.opus;|Audio Interchange File Format (*.aiff; *.aif)|*.aiff; *.aif;"
        "|WavPack Audio (*.wv)|*.wv;|iPhone Ringtone (*.m4r)|*.m4r;|MOD files (*.mod)|*.mod;"
        "|High-definition files (*.mts; *.ts; *m2ts; *.tp)|*.mts; *.ts; *m2ts; *.tp;"
        "|AVI files (*.avi)|*.avi;|MPEG-4 files (*.mp4; *.m4v)|*.mp4; *.m4v;"
        "|MPEG files (*.mpg; *.mpeg)|*.mpg; *.mpeg;|3GP files (*.3gp; *.3g2)|*.3gp; *.3g2;"
        "|Windows Media Video (*.wmv; *.asf)|*.wmv; *.asf;|Real Media files (*.rm; *.rmvb)|*.rm; *.rmvb;"
        "|Video CD files (*.dat)|*.dat;|Quick Time files (*.mov)|*.mov;"
        "|Flash Video files (*.flv; *.f4v)|*.flv; *.f4v;|Matroska files (*.mkv)|*.mkv;"
        "|Digital Video files (*.dv)|*.dv;|NUT files (*.nut)|*.nut;"
        "|Raw h.264 video files (*.h.264)|*.h.264;|Nullsoft Stream Video (*.nsv)|*.nsv;"
        "|Video Object files (*.vob)|*.vob;|All files (*)|*";
    EXPECT_EQ(app->MainForm->dlgopen.Filter, expected);
    EXPECT_EQ(app->MainForm->dlgopen.FilterIndex, 1);

    // A folder with one file per mask, listed by a real Qt file dialog under each row.
    const QString dir = Path("media");
    QDir().mkpath(dir);
    QStringList all;
    for (const auto& row : FormatRows())
            for (QString mask : QString(row.Mask).split(';')) {
                const QString name = "f" + mask.trimmed().remove('*');
                QFile f(dir + "/" + name);
                ASSERT_TRUE(f.open(QIODevice::WriteOnly));
                all << name;
            }
    const QStringList filters = QtNameFilters(app->MainForm->dlgopen.Filter);
    ASSERT_EQ(filters.size(), 3 + 38 + 1);
    QFileDialog dialog;
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setNameFilters(filters);
    dialog.setDirectory(dir);
    auto* model = dialog.findChild<QFileSystemModel*>();
    ASSERT_NE(model, nullptr);
    auto listed = [&] {
        QStringList names;
        const QModelIndex root = model->index(dir);
        for (int i = 0; i < model->rowCount(root); ++i) names << model->index(i, 0, root).data().toString();
        names.sort();
        return names;
    };
    auto shows = [&](const QString& AFilter, QStringList AExpected) {
        dialog.selectNameFilter(AFilter);
        AExpected.sort();
        for (int i = 0; i < 200 && listed() != AExpected; ++i) {
            QApplication::processEvents();
            QThread::msleep(5);
        }
        EXPECT_EQ(listed(), AExpected) << AFilter.toStdString();
    };
    shows(filters[0], all);
    int i = 3;
    for (const auto& row : FormatRows()) {
            QStringList named;
            for (QString mask : QString(row.Mask).split(';')) named << "f" + mask.trimmed().remove('*');
            shows(filters[i++], named);
        }
    shows(filters.last(), all);

    // A name typed into the real open dialog that the chosen filter hides is still added.
    // Typed once the dialog has settled (it fills the box while it lists the folder), accepted
    // when the text stayed.
    QTimer typing;
    const QString typed = "\"f.wav\" \"f.mp3\"";
    QObject::connect(&typing, &QTimer::timeout, [&] {
        auto* open = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!open || !open->isVisible()) return;
        auto* name = open->findChild<QLineEdit*>("fileNameEdit");
        if (name->text() != typed) {
            name->setText(typed);
            return;
        }
        typing.stop();
        QMetaObject::invokeMethod(open, "accept");
    });
    typing.start(50);
    const QStringList chosen = ExecuteOpenDialog(nullptr, "Open file", dir, "Waveform files|*.wav;", 1);
    EXPECT_EQ(chosen, (QStringList{dir + "/f.wav", dir + "/f.mp3"}));
}

TEST_F(MainFormTest, TheWindowOpensWideEnoughForTheFiveColumnsAndItsLayoutFollowsAResize) {
    CancelErrors();
    auto app = Start();
    TMainForm& form = *app->MainForm;
    form.show();
    ProcessPending();
    auto* grid = Child<QTableView>(&form, "sgList");
    auto* start = Child<QWidget>(&form, "StartButton");
    int columns = 0;
    for (int c = 0; c < 5; ++c) columns += grid->columnWidth(c);
    EXPECT_GE(grid->viewport()->width(), columns);
    const QSize list = grid->size();
    const QPoint startFromCorner = QPoint(form.width(), form.height()) - start->geometry().bottomRight();
    form.resize(form.size() + QSize(200, 100));
    ProcessPending();
    EXPECT_EQ(grid->size(), list + QSize(200, 100));
    EXPECT_EQ(QPoint(form.width(), form.height()) - start->geometry().bottomRight(), startFromCorner);
}

TEST_F(MainFormTest, ChoosingAProfileMovesTheCurrentJobOrAllJobsWithApplyToAll) {
    WriteCatalogue(TwoProfiles);
    CancelErrors();
    auto app = Start();
    TMainForm& form = *app->MainForm;
    AddJobs(form);
    auto* applyAll = Child<QCheckBox>(&form, "chApplyToAll");

    applyAll->setChecked(false);
    form.SelectProfile(1);
    EXPECT_EQ(Cell(form, 0, 4), ".one");
    EXPECT_EQ(Cell(form, 1, 4), ".two");
    EXPECT_EQ(Cell(form, 2, 4), ".one");
    EXPECT_EQ(form.CurrentProfileInd, 1);
    EXPECT_EQ(form.RecentProfileInd, 1);
    EXPECT_EQ(Items(Child<QComboBox>(&form, "cmbAudioEncoder")), QStringList{"Codec 3"});
    // 64 kbit/s for 300 whole seconds: 64 / 8 * 300 / 1024 MB.
    EXPECT_EQ(Cell(form, 1, 2), "2.34 MB");
    EXPECT_EQ(Cell(form, 0, 2), "4.69 MB");

    // Clicking a row shows that job's profile.
    form.SetCurrentRow(1);
    form.sgListClick();
    EXPECT_EQ(Child<QComboBox>(&form, "cmbProfile")->currentIndex(), 0);
    form.SetCurrentRow(2);
    form.sgListClick();
    EXPECT_EQ(Child<QComboBox>(&form, "cmbProfile")->currentIndex(), 1);

    // Moving the current row with the keys shows that job's profile as a click does.
    form.show();
    form.SetCurrentRow(1);
    auto* grid = Child<QTableView>(&form, "sgList");
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_Down);
    EXPECT_EQ(form.CurrentRow(), 2);
    EXPECT_EQ(Child<QComboBox>(&form, "cmbProfile")->currentIndex(), 1);

    // Checking the box moves every job to the current profile and recomputes their estimates;
    // choosing with it checked too.
    applyAll->click();
    EXPECT_TRUE(applyAll->isChecked());
    for (int j = 0; j < 3; ++j) EXPECT_EQ(Cell(form, j, 4), ".two") << j;
    for (int j = 0; j < 3; ++j) EXPECT_EQ(Cell(form, j, 2), "2.34 MB") << j;
    form.SelectProfile(0);
    for (int j = 0; j < 3; ++j) EXPECT_EQ(Cell(form, j, 4), ".one") << j;

    // A setting changed by the keys or the wheel, without its drop-down, applies at once.
    auto* bitRate = Child<QComboBox>(&form, "cmbAudioBitRate");
    bitRate->setFocus();
    QTest::keyClick(bitRate, Qt::Key_Down);
    EXPECT_EQ(form.Profiles[0].AudioBitRate, "256000");
    EXPECT_EQ(Cell(form, 0, 2), "9.38 MB");
    auto* rate = Child<QComboBox>(&form, "cmbSampleRate");
    QWheelEvent wheel(QPointF(5, 5), rate->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(rate, &wheel);
    EXPECT_EQ(rate->currentIndex(), 1);
    EXPECT_EQ(form.Profiles[0].SampleRate, "48000");
    EXPECT_TRUE(ErrorMessages.isEmpty());
}

TEST_F(MainFormTest, ClosingASettingDropDownStoresItsValueAndRecomputesEveryEstimate) {
    WriteCatalogue(TwoProfiles);
    CancelErrors();
    auto app = Start();
    TMainForm& form = *app->MainForm;
    AddJobs(form);
    Child<QCheckBox>(&form, "chApplyToAll")->setChecked(false);
    form.AudioFiles[2].ProfileInd = 1;  // not the selected profile
    form.AudioFiles[2].EstimatedSize = 0;

    // Unchanged close: still counts as an edit.
    CloseUpWith(Child<QComboBox>(&form, "cmbSampleRate"), -1);
    EXPECT_EQ(form.LastEditedProfileInd, 0);
    EXPECT_EQ(Cell(form, 2, 2), "2.34 MB");

    CloseUpWith(Child<QComboBox>(&form, "cmbAudioBitRate"), 1);
    EXPECT_EQ(form.Profiles[0].AudioBitRate, "256000");
    EXPECT_EQ(Cell(form, 0, 2), "9.38 MB");  // not selected, same profile
    EXPECT_EQ(Cell(form, 1, 2), "9.38 MB");
    EXPECT_EQ(Cell(form, 2, 2), "2.34 MB");
    CloseUpWith(Child<QComboBox>(&form, "cmbAudioEncoder"), 1);
    CloseUpWith(Child<QComboBox>(&form, "cmbSampleRate"), 1);
    CloseUpWith(Child<QComboBox>(&form, "cmbChannel"), 0);
    EXPECT_EQ(form.Profiles[0].AudioCodecName, "c2");
    EXPECT_EQ(form.Profiles[0].SampleRate, "48000");
    EXPECT_EQ(form.Profiles[0].Channel, "1");
    EXPECT_TRUE(ErrorMessages.isEmpty());
}

TEST_F(MainFormTest, SettingCloseUpWithoutAValueReportsAndKeepsTheValuesStoredBefore) {
    WriteCatalogue(TwoProfiles);
    CancelErrors();
    auto app = Start();
    TMainForm& form = *app->MainForm;
    form.SelectProfile(1);  // its channel list has labels but no values
    auto* channels = Child<QComboBox>(&form, "cmbChannel");
    EXPECT_EQ(Items(channels), (QStringList{"Mono", "Stereo"}));
    EXPECT_EQ(channels->currentIndex(), -1);
    form.Profiles[1].SampleRate = "changed";

    CloseUpWith(Child<QComboBox>(&form, "cmbAudioBitRate"), -1);
    EXPECT_EQ(ErrorMessages, QStringList{"Error setting profile"});
    EXPECT_EQ(form.Profiles[1].SampleRate, "22050");  // stored before the failing selector
    EXPECT_EQ(form.Profiles[1].Channel, "1");
    EXPECT_EQ(form.LastEditedProfileInd, 1);
}

TEST_F(MainFormTest, ClosingTheWindowWritesTheSettingsUnderTheirNames) {
    CancelErrors();
    {
        auto app = Start();
        app->MainForm->close();
    }
    {
        QSettings s("Quendral", "Quendral Audio Converter");
        EXPECT_EQ(s.allKeys().size(), 5) << s.allKeys().join(",").toStdString();
        EXPECT_EQ(s.value("SimultaneousConversions").toInt(), std::max(1, QThread::idealThreadCount()));
        EXPECT_EQ(s.value("Loudness").toInt(), 0);
        EXPECT_EQ(s.value("VerifyOutputs").toInt(), 0);  // off by default
        EXPECT_EQ(s.value("OutputPath").toString(),
                  Path("home/Documents/Quendral/Quendral Audio Converter/Output"));
        EXPECT_EQ(s.value("recentprofileind").toInt(), 0);
    }
    {
        auto app = Start();
        TMainForm& form = *app->MainForm;
        form.SelectProfile(2);
        CloseUpWith(Child<QComboBox>(&form, "cmbAudioBitRate"), 0);
        form.dlgopen.Files = QStringList{Path("home/Music/x.mp3"), Path("other/y.mp3")};
        Child<QAction>(&form, "Exit1")->trigger();
        EXPECT_FALSE(form.isVisible());
    }
    QSettings s("Quendral", "Quendral Audio Converter");
    EXPECT_EQ(s.value("recentprofileind").toInt(), 2);
    EXPECT_EQ(s.value("lasteditedprofileind").toInt(), 2);
    EXPECT_EQ(s.value("audiocodecname").toString(), "libvorbis");
    EXPECT_EQ(s.value("audiobitrate").toString(), "64000");
    EXPECT_EQ(s.value("samplerate").toString(), "44100");
    EXPECT_EQ(s.value("channels").toString(), "2");
    EXPECT_EQ(s.value("OpenAudioDialogPath").toString(), Path("home/Music"));
    EXPECT_TRUE(ErrorMessages.isEmpty());
}

TEST_F(MainFormTest, HelpItemsOpenTheVendorPagesAndTheAboutWindow) {
    CancelErrors();
    auto app = Start();
    TMainForm& form = *app->MainForm;
    for (const char* item : {"OnlineGuide1", "Support1", "ProductPage1"})
        Child<QAction>(&form, item)->trigger();
    Child<QPushButton>(&form, "SupportButton")->click();
    ASSERT_EQ(Opened.size(), 4);
    EXPECT_EQ(Opened[1], Opened[3]);
    for (const QUrl& url : Opened) EXPECT_EQ(url.scheme(), "https");

    int aboutHeight = 0;
    AnswerModals([&](QWidget* AModal) {
        if (AModal == app->AboutForm.get()) {
            aboutHeight = AModal->height();
            Child<QPushButton>(AModal, "OKButton")->click();
        }
    });
    Child<QAction>(&form, "About1")->trigger();
    EXPECT_EQ(aboutHeight, 235);
    EXPECT_FALSE(app->AboutForm->isVisible());
}

TEST_F(MainFormTest, SDLCopyIsMadeOncePerIndexInAPrivateFolderAndForeignFilesAreReplaced) {
    auto app = Start();
    TMainForm& form = *app->MainForm;
    ASSERT_FALSE(SDLSourceLibrary().isEmpty()) << "no SDL2 library found on this machine";
    const QString name = form.PrepareSDLCopy(0);
    EXPECT_EQ(name, "SDL_0.so");
    const QString folder = SDLCopyFolder();
    EXPECT_EQ(folder, Path("tmp") + QString("/quendral-%1/").arg(getuid()));
    struct stat st {};
    ASSERT_EQ(stat(folder.toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(QFileInfo(folder + name).size(), QFileInfo(SDLSourceLibrary()).size());

    // A copy of the user's own made from an older source (another size) is copied again.
    QFile old(folder + "SDL_1.so");
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("older");
    old.close();
    EXPECT_EQ(form.PrepareSDLCopy(1), "SDL_1.so");
    EXPECT_EQ(QFileInfo(folder + "SDL_1.so").size(), QFileInfo(SDLSourceLibrary()).size());
    // A link planted under the name is replaced, never followed.
    ASSERT_TRUE(QFile::remove(folder + "SDL_1.so"));
    ASSERT_TRUE(QFile::link(Path("tmp/planted"), folder + "SDL_1.so"));
    form.PrepareSDLCopy(1);
    EXPECT_FALSE(QFileInfo(folder + "SDL_1.so").isSymLink());
    EXPECT_EQ(QFileInfo(folder + "SDL_1.so").size(), QFileInfo(SDLSourceLibrary()).size());

    // A library shipped beside the program is preferred.
    QDir().mkpath(Path("app/LibAV"));
    QFile shipped(Path("app/LibAV/libSDL2-2.0.so.0"));
    ASSERT_TRUE(shipped.open(QIODevice::WriteOnly));
    shipped.write("shipped");
    shipped.close();
    form.PrepareSDLCopy(2);
    EXPECT_EQ(QFileInfo(folder + "SDL_2.so").size(), 7);
    EXPECT_TRUE(QDir(folder).entryList({"*.part"}, QDir::Files).isEmpty());
}

// The version text names the running system; the machine is never powered off here.
TEST_F(MainFormTest, VersionTextNamesTheSystemAndShutdownGoesThroughTheReplaceableControl) {
    auto app = Start();
    TMainForm& form = *app->MainForm;
    const QString version = form.GetWindowsVersion();
    EXPECT_TRUE(version.startsWith("Linux Version ")) << version.toStdString();
    EXPECT_TRUE(version.contains("\r\n (Build ")) << version.toStdString();

    struct TFailingSystem : TSystemControl {
        int* Calls;
        explicit TFailingSystem(int* ACalls) : Calls(ACalls) {}
        void ShutdownComputer() override {
            ++*Calls;
            throw std::runtime_error("refused");
        }
    };
    int calls = 0;
    form.SetSystemControl(std::make_unique<TFailingSystem>(&calls));
    CancelErrors();
    form.ShutdownComputer();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ErrorMessages, QStringList{"Error trying shut down the Windows"});
}

// Every visible caption of AWindow that its widget cuts: a label, button or check box narrower
// than its text, a combo box narrower than its longest item.
static QStringList CutCaptions(QWidget* AWindow) {
    QStringList cut;
    for (QWidget* w : AWindow->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(AWindow) || w->objectName().isEmpty()) continue;
        QString text;
        if (auto* label = qobject_cast<QLabel*>(w); label && !label->wordWrap() && label->pixmap().isNull())
            text = label->text();
        else if (auto* button = qobject_cast<QAbstractButton*>(w))
            text = button->text();
        // A button's style margins are not its caption's: the text itself must fit.
        const int need = qobject_cast<QPushButton*>(w) ? w->fontMetrics().horizontalAdvance(text) + 4
                                                          : w->sizeHint().width();
        if (!text.isEmpty() && need > w->width()) cut << w->objectName() + ": " + text;
        if (auto* combo = qobject_cast<QComboBox*>(w)) {
            QComboBox probe;
            probe.setFont(combo->font());
            for (int i = 0; i < combo->count(); ++i) probe.addItem(combo->itemText(i));
            probe.setSizeAdjustPolicy(QComboBox::AdjustToContents);
            if (probe.sizeHint().width() > combo->width())
                cut << w->objectName() + QString(" %1 > %2").arg(probe.sizeHint().width()).arg(combo->width());
        }
    }
    return cut;
}

TEST_F(MainFormTest, AtItsMinimumSizeNoControlCoversAnotherNorCutsItsCaption) {
    auto app = Start();
    TMainForm& form = *app->MainForm;
    form.show();
    form.resize(form.minimumSize());
    ProcessPending();
    const QRect box = Child<QWidget>(&form, "gbOutputSettings")->geometry();
    for (const char* name : {"StartButton", "SupportButton", "OutputNamesButton"}) {
        const QRect button = Child<QWidget>(&form, name)->geometry();
        EXPECT_FALSE(button.intersects(box)) << name;
        EXPECT_TRUE(form.centralWidget()->rect().contains(button)) << name;
    }
    EXPECT_EQ(CutCaptions(&form), QStringList());
    // The other windows at their own sizes.
    for (QWidget* window : std::initializer_list<QWidget*>{app->ConvForm.get(), app->ErrorForm.get(), app->AboutForm.get(),
                                                           app->FileInfoForm.get(), app->LogForm.get()}) {
        window->show();
        ProcessPending();
        EXPECT_EQ(CutCaptions(window), QStringList()) << window->objectName().toStdString();
        window->hide();
    }
    // The player draws at the device's resolution (run again at QT_SCALE_FACTOR=2).
    const qreal ratio = qEnvironmentVariableIntValue("QT_SCALE_FACTOR") == 2 ? 2.0 : 1.0;
    EXPECT_EQ(form.devicePixelRatioF(), ratio);
    TPlayerScreen screen;
    screen.resize(200, 120);
    screen.show();
    ProcessPending();
    int w = 0, h = 0;
    screen.GetClientSize(w, h);
    EXPECT_EQ(w, qRound(200 * ratio));
    EXPECT_EQ(h, qRound(120 * ratio));
    // The window icon is crisp at the ratio, and the windows belong to the installed entry.
    EXPECT_EQ(QApplication::windowIcon().pixmap(QSize(32, 32), ratio).width(), qRound(32 * ratio));
    EXPECT_EQ(QGuiApplication::desktopFileName(), DesktopId);
    // With no job there is nothing to play.
    for (const char* name : {"PlayButton", "PauseButton", "StopButton"})
        EXPECT_FALSE(Child<QWidget>(&form, name)->isEnabled()) << name;
}

#ifdef QAC_HAVE_QTDBUS
// A notification server on a private session bus: it records each Notify call's summary and body.
class TNotificationServer : public QDBusVirtualObject {
public:
    QStringList Calls;
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& AMessage, const QDBusConnection& AConnection) override {
        if (AMessage.member() != "Notify") return false;
        const QList<QVariant> args = AMessage.arguments();
        Calls << args.value(3).toString() + ": " + args.value(4).toString();
        AConnection.send(AMessage.createReply(QVariant::fromValue(1u)));
        return true;
    }
};
#endif

TEST_F(MainFormTest, ALongRunEndingBehindOtherWindowsIsToldByADesktopNotification) {
    EXPECT_EQ(RunNoticeText(3, 0), "3 files converted.");
    EXPECT_EQ(RunNoticeText(1, 2), "1 file converted, 2 failed.");
#ifndef QAC_HAVE_QTDBUS
    GTEST_SKIP() << "built without QtDBus";
#else
    QProcess daemon;
    daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    ASSERT_TRUE(daemon.waitForStarted(5000)) << "dbus-daemon is missing";
    ASSERT_TRUE(daemon.waitForReadyRead(5000));
    const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
    {
        QDBusConnection server = QDBusConnection::connectToBus(address, "notifications");
        ASSERT_TRUE(server.registerService("org.freedesktop.Notifications"));
        TNotificationServer notifications;
        ASSERT_TRUE(server.registerVirtualObject("/org/freedesktop/Notifications", &notifications));

        QWidget window;  // never active: the run ended behind the user's other windows
        EXPECT_FALSE(NotifyRunEnded(&window, RunNoticeMinimumMillis - 1, 2, 0));  // a short run: nothing
        EXPECT_TRUE(NotifyRunEnded(&window, RunNoticeMinimumMillis, 4, 1));
        for (int i = 0; i < 200 && notifications.Calls.isEmpty(); ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(10);
        }
        EXPECT_EQ(notifications.Calls, QStringList{"Conversion finished with errors: 4 files converted, 1 failed."});
        server.unregisterObject("/org/freedesktop/Notifications");
    }
    QDBusConnection::disconnectFromBus("notifications");
    daemon.kill();
    daemon.waitForFinished();
#endif
}
