// Program set-up shared by the entry point and the GUI tests.
#pragma once

#include <memory>

#include "QtDispatcherHooks.h"
#include "about.h"
#include "clip.h"
#include "conversion.h"
#include "errordlg.h"
#include "fileinfo.h"
#include "log.h"
#include "main_form.h"


// Applies the application-wide skin (the style sheet in the program's resources).
void ApplySkin();

// The program's seven windows. The events log and the error dialog (and the other dialogs)
// exist before the main window, whose start-up reports failures through them; the main window
// is destroyed first.
struct TAppWindows {
    std::unique_ptr<TLogForm> LogForm;
    std::unique_ptr<TErrorForm> ErrorForm;
    std::unique_ptr<TClipForm> ClipForm;
    std::unique_ptr<TConvForm> ConvForm;
    std::unique_ptr<TAboutForm> AboutForm;
    std::unique_ptr<TFileInfoForm> FileInfoForm;
    std::unique_ptr<TMainForm> MainForm;

    TAppWindows();
};
