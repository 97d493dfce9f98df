// Folders, the per-player SDL copy, the shell's "open" and the operating-system routines the
// windows use. Main thread only unless stated.
#pragma once

#include <QString>
#include <QUrl>
#include <functional>
#include <memory>
#include <string>

// The settings store: QSettings(SettingsOrganization, SettingsApplication).
extern const char* const SettingsOrganization;
extern const char* const SettingsApplication;
// The id of the desktop entry, the icon and the metainfo the program is installed with.
inline const char* const DesktopId = "org.quendral.AudioConverter";

// Folder of the program file, ending in a separator. Tests may place the program's data
// elsewhere with SetApplicationFolder (an empty text restores the real folder).
QString ApplicationFolder();
void SetApplicationFolder(const QString& AFolder);

// The user's temporary folder as the system reports it, ending in a separator.
QString ReadTempFolder();

// Shell special folders by their numbers; the folder is created when missing. Empty when the
// system has no such folder or it cannot be created.
constexpr int CSIDL_PERSONAL = 5;  // documents
constexpr int CSIDL_MYMUSIC = 13;  // music
QString GetSpecialFolder(int ACSIDL);

// The folder private to the user that holds the SDL copies (see player/libsdl.h), ending in a
// separator; empty when there is none, with AError "playback is unavailable: <folder> is not
// private" (nothing is then to be loaded from anywhere else).
QString SDLCopyFolder(QString* AError = nullptr);
// Name of the private SDL copy of player AIndex ("SDL_%d.so") in SDLCopyFolder(). A copy of the
// user's own of the source as it is now stays; when there is none, or the file there is not the
// user's own or differs from the source in size or time, the SDL library shipped in
// ApplicationFolder()/LibAV, else the system's SDL2, is copied there. A failed copy is ignored
// (the player's load then reports it).
QString PrepareSDLCopy(int AIndex);
// The SDL library PrepareSDLCopy copies from; empty when none is found.
QString SDLSourceLibrary();

// Opens a folder, page or "mailto:" URL with the user's default program. Replaceable so tests
// can capture what would be opened; SetShellOpen(nullptr) restores the desktop services.
using TShellOpen = std::function<void(const QUrl& AUrl)>;
void ShellOpen(const QUrl& AUrl);
void SetShellOpen(TShellOpen AOpen);

// Version text and forced power-off of the machine. The program uses TSystemControl; tests put
// their own in its place so the machine is never powered off.
class TSystemControl {
public:
    virtual ~TSystemControl() = default;
    // "<system> Version <major>.<minor>\r\n (Build <build>: <detail>)"; empty when the system
    // cannot be asked. Raises on unexpected failures.
    virtual QString GetWindowsVersion();
    // Asks the system to power off at once, running programs are not asked.
    virtual void ShutdownComputer();
};
