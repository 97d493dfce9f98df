// The trim editor: plays one job's file in its own player (FFPlayer2) while the user chooses the
// range the conversion uses, by two handles on the seek bar, by the playback position or by typed
// times; "OK" writes the range into the job row. Modal; main thread only, except the audio hook
// (SDL's audio thread), which reads only the atomic copies of the range.
#pragma once

#include <QDialog>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "AudioFiles.h"
#include "FFPlay.h"
#include "WaveOverview.h"

namespace Ui {
class TClipForm;
}
class QButtonGroup;
class QLabel;
class QLineEdit;
class TPlayerScreen;

// What the editor uses of the main window, set once by it (see TClipForm::Attach).
struct TClipHost {
    std::vector<TAudioFile>* AudioFiles = nullptr;
    std::function<int()> SelectedRow;                // the list's current row; job r - 1
    std::function<void(int AJob)> UpdateEstimatedSize;  // recomputes one job's estimate and repaints the list
    std::function<void(const QString& AMessage, const QString& AMark)> ShowErrorReport;
    std::function<void(const QString& AText)> EventsLogLine;  // time-stamped line
    std::function<void(const QString& AText)> LogLine;        // bare line, no time
};

class TClipForm : public QDialog {
    Q_OBJECT
public:
    explicit TClipForm(QWidget* AParent = nullptr);
    ~TClipForm() override;

    void Attach(TClipHost AHost);

    // The editor's player, with its own SDL copy (index 1).
    std::unique_ptr<TFFPlayer> FFPlayer2;
    // The waveform overview of the shown file under the bar, computed in the background from one
    // decode per showing and file; cancelled when the window closes or the file changes.
    TWaveOverview WaveOverview;

    // Editor state; it survives between showings and FormShow reloads it.
    int64_t TrimStart = 0, TrimEnd = 0;  // µs, the range being edited
    int64_t PreviewPosition = 0;         // the last position above 0 FFPlayer2 reported
    TPlayState LastPlayState = psPlay;   // the last state FFPlayer2 reported
    bool PlayTrimmed = false;            // the range plays in a loop
    bool SeekBarDragging = false;
    // A trim handle: position events move its end of the range while Tracking; Pressed while the
    // mouse button is down on it; Dragged once a move was accepted; PressX is the mouse X (in the
    // handle) at the press.
    struct TTrimHandle {
        bool Tracking = false, Pressed = false, Dragged = false;
        int PressX = 0;
    };
    TTrimHandle LeftHandle, RightHandle;
    int64_t Duration() const { return FDuration; }
    // W: the pixels the handles' centres (and the seek bar's) travel over the file's length.
    int BarScale() const { return FBarScale; }

    // Handle geometry on the bar's pixel scale W (BarScale): the left edge of a handle at time
    // ATime, and the time of a handle whose left edge is at AX. Both treat an unknown duration (0
    // or less) as empty.
    int HandleX(int64_t ATime) const;
    int64_t HandleTime(int AX) const;
    void LayoutTrimLine();
    // Places the bar, the handles (at TrimStart and TrimEnd) and the overview on panTrimBar.
    void LayoutTrimBar();
    void PlaceHandles();
    // The range can be written: its end lies after its start.
    bool RangeValid() const;

    void FormShow();
    // Opens AFileName in FFPlayer2, playing or (APaused) paused at its start.
    void OpenFile(const QString& AFileName, bool APaused = false);
    void PlayButtonClick();
    void PauseButtonClick();
    void StopButtonClick();
    void spSkinButton1Click();       // Set start
    void spSkinButton3Click();       // Set end
    void spSkinButton2Click();       // Play trimmed audio
    void spSkinSpeedButton1Click();  // "OK" of the typed start
    void spSkinSpeedButton2Click();  // "OK" of the typed end
    void spSkinButton4Click();       // "OK": write the row
    void spSkinButton5Click();       // "Cancel"
    void spSkinButton6Click();       // "Reset"
    void trackbar2StartDragButton();
    void trackbar2LastChange();
    void imgTrimLeftMouseDown(int X);
    void imgTrimLeftMouseMove(int X);
    void imgTrimLeftMouseUp();
    void imgTrimRightMouseDown(int X);
    void imgTrimRightMouseMove(int X);
    void imgTrimRightMouseUp();
    void FFPlayer2FileOpen(int64_t ADuration, int& AScreenWidth, int& AScreenHeight);
    void FFPlayer2Position(int64_t APTS);
    void FFPlayer2State(TPlayState AState);

    // Closing any way (OK, Cancel, Esc, the title bar) ends the loop and stops the playback.
    void done(int AResult) override;

signals:
    // FormShow has ended: the row's range is loaded and its file opened (or the failure shown).
    void FormShown();

protected:
    void showEvent(QShowEvent* AEvent) override;
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
    // The selected job, or null when the selected row has none.
    TAudioFile* SelectedJob() const;
    void SetTrimStart(int64_t AValue);  // and shows it in TimeStart
    void SetTrimEnd(int64_t AValue);    // and shows it in TimeEnd
    void SetPlayTrimmed(bool AValue);
    // The time typed in AField (µs, hh:mm:ss.mmm), limited to the file and shown so in the
    // field; false after the message when it is no time.
    bool TypedTime(QLineEdit* AField, int64_t& ATime);
    // OK is enabled, and the end field unmarked, while the range is valid.
    void ShowRangeValidity();
    void SetTrackValue(int AValue);  // a change of trackbar2 that is no seek
    int TrackPixel() const;          // the handle pixel of trackbar2's value
    // Puts the start (AStart) or the end of the range at ATime with its handle at AX; when the
    // range is then empty or reversed, the other end follows and the handles stand 11 pixels apart.
    void PlaceRangeEnd(bool AStart, int64_t ATime, int AX);
    void HandleMouseDown(TTrimHandle& AHandle, int X);
    void HandleMouseMove(bool AStart, int X);
    // Ends a handle's drag: waits (bounded) for the seek, stores the time of the dropped handle,
    // resumes.
    void EndHandleDrag(TTrimHandle& AHandle, bool AStart);
    void ClearHandles();
    // The play buttons show what the playback does: the pressed one is that of its mode, none
    // while it is stopped or has not played since a paused opening.
    void ShowPlayState(TPlayState AState);
    // Play trimmed audio: back to the range's start, once per pass over its end.
    void LoopToStart();
    // SDL's audio thread: silences what lies outside the range while it loops.
    void GateTrimmedAudio(int64_t APTS, uint8_t* ASamples, int ASize, int ARate, int AChannels) const;
    // The overview of an opened file (its columns fitted to the bar's pixels), unless it is the
    // one already computed or computing; an empty name or unknown duration cancels and clears it.
    void ShowOverview(const QString& AFileName);

    std::unique_ptr<Ui::TClipForm> ui;
    TClipHost FHost;
    QButtonGroup* FPlayButtons = nullptr;
    int64_t FDuration = 0;  // µs, from OnFileOpen; 0 until a file opened
    int FBarScale = 456;    // W, set by LayoutTrimBar
    bool FTrackChanging = false;
    QWidget* FScreenControl = nullptr;
    TPlayerScreen* FPlayerScreen = nullptr;  // FFPlayer2's drawing host, filling panPreview
    QString FOverviewFile;                   // the file WaveOverview was started for this showing
    bool FInPosition = false;  // FFPlayer2Position runs (re-entry does nothing)
    bool FOpenedPaused = false;  // opened paused and not played since
    bool FLoopSeeked = false;  // the loop went back to the start and no position inside the range came yet
    // The range as the audio hook sees it: written on the main thread, read on SDL's audio thread.
    std::atomic<int64_t> FGateStart{0}, FGateEnd{0};
    std::atomic<bool> FGateOn{false};
};
