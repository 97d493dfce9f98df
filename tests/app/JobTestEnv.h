// Surroundings of the job-list and conversion suites: the open dialog, folder chooser and
// message boxes answered by the test, a catalogue of small profiles, and helpers for the
// events log and generated media.
#pragma once

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QLineEdit>
#include <QStringList>
#include <QTableView>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "AppTestEnv.h"
#include "Dispatcher.h"
#include "TestMedia.h"
#include "UserDialogs.h"
#include "log.h"

// Three profiles with different rates, channels and codecs, and one whose values are not numbers.
inline const char* const RunProfiles = R"(<ProfileSet>
<Profile>
<profilename value="Wave mono" />
<formatext value=".wav" />
<audiocodecs value="pcm_s16le$PCM" />
<audiocodecname value="pcm_s16le" />
<samplerates value="22050$22050 Hz,44100$44100 Hz" />
<samplerate value="22050" />
<audiobitrates value="128000$128,352800$352.8" />
<audiobitrate value="128000" />
<channels value="1$Mono,2$Stereo" />
<channel value="1" />
<Profile>
<profilename value="FLAC stereo" />
<formatext value=".flac" />
<audiocodecs value="flac$FLAC" />
<audiocodecname value="flac" />
<samplerates value="48000$48000 Hz" />
<samplerate value="48000" />
<audiobitrates value="256000$256,512000$512" />
<audiobitrate value="256000" />
<channels value="2$Stereo" />
<channel value="2" />
<Profile>
<profilename value="MP3 mono" />
<formatext value=".mp3" />
<audiocodecs value="libmp3lame$LAME" />
<audiocodecname value="libmp3lame" />
<samplerates value="44100$44100 Hz" />
<samplerate value="44100" />
<audiobitrates value="128000$128,abc$Broken" />
<audiobitrate value="128000" />
<channels value="1$Mono,3$Three" />
<channel value="1" />
<Profile>
<profilename value="Not numbers" />
<formatext value=".wav" />
<audiocodecs value="pcm_s16le$PCM" />
<audiocodecname value="pcm_s16le" />
<samplerates value="abc$ABC" />
<samplerate value="abc" />
<audiobitrates value="xyz$XYZ" />
<audiobitrate value="xyz" />
<channels value="1$Mono" />
<channel value="1" />
<Profile>
<profilename value="Ringtone" />
<formatext value=".m4r" />
<audiocodecs value="aac$AAC" />
<audiocodecname value="aac" />
<samplerates value="44100$44100 Hz" />
<samplerate value="44100" />
<audiobitrates value="128000$128" />
<audiobitrate value="128000" />
<channels value="2$Stereo" />
<channel value="2" />
<extraparam value="f=ipod" />
</ProfileSet>
)";

struct TShownMessage {
    TMessageKind Kind;
    QString Text;
};

class TJobTest : public TAppTest {
protected:
    void SetUp() override {
        TAppTest::SetUp();
        SetOpenDialog([this](QWidget*, const QString& ATitle, const QString& ADir, const QString& AFilter,
                             int AIndex) {
            DialogCalls << QStringList{ATitle, ADir, AFilter, QString::number(AIndex)};
            return ChosenFiles;
        });
        SetFolderDialog([this](QWidget*, const QString& ACurrent) {
            FolderAsked << ACurrent;
            return ChosenFolder;
        });
        SetMessageBox([this](QWidget*, TMessageKind AKind, const QString& AText) {
            Messages.push_back({AKind, AText});
        });
    }
    void TearDown() override {
        SetOpenDialog(nullptr);
        SetFolderDialog(nullptr);
        SetMessageBox(nullptr);
        TAppTest::TearDown();
    }

    QStringList MessageTexts() const {
        QStringList texts;
        for (const auto& m : Messages) texts << m.Text;
        return texts;
    }

    // The events log lines without their time stamps ("-> ..." or empty), from line AFrom on.
    static QStringList LogLines(TAppWindows& AApp, int AFrom = 0) {
        QStringList lines;
        const QStringList all = AApp.LogForm->Lines();
        for (int i = AFrom; i < all.size(); ++i) {
            const int arrow = all[i].indexOf("-> ");
            lines << (arrow < 0 ? all[i] : all[i].mid(arrow));
        }
        return lines;
    }

    static QString Q(const std::filesystem::path& APath) { return QString::fromStdString(APath.string()); }

    static QByteArray FileHash(const std::filesystem::path& APath) {
        QFile f(Q(APath));
        if (!f.open(QIODevice::ReadOnly)) return {};
        return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
    }

    // Adds AFiles through the real "Open file" command.
    void AddThroughDialog(TMainForm& AForm, const std::vector<std::filesystem::path>& AFiles) {
        ChosenFiles.clear();
        for (const auto& f : AFiles) ChosenFiles << Q(f);
        AForm.AddButtonClick();
    }

    QStringList ChosenFiles;
    QString ChosenFolder;
    QList<QStringList> DialogCalls;
    QStringList FolderAsked;
    std::vector<TShownMessage> Messages;
};

template <typename T>
T* FindChild(QWidget* AWindow, const char* AName) {
    T* w = AWindow->findChild<T*>(AName);
    EXPECT_NE(w, nullptr) << AName;
    return w;
}

// Pumps the main thread until APredicate holds or ASeconds pass.
inline bool WaitFor(const std::function<bool()>& APredicate, int ASeconds = 60) {
    return WaitPumping(APredicate, std::chrono::milliseconds(5), std::chrono::milliseconds(ASeconds * 1000));
}

// A tone of AFrequency Hz for ASeconds at ASampleRate with AChannels; the codec follows the
// file's extension.
inline testmedia::ToneShape Tone(double AFrequency, double AAmplitude, double ASeconds, int ASampleRate,
                                int AChannels) {
    testmedia::ToneShape shape;
    shape.frequency = AFrequency;
    shape.amplitude = AAmplitude;
    shape.seconds = ASeconds;
    shape.sampleRate = ASampleRate;
    shape.channels = AChannels;
    return shape;
}
