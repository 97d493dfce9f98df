// Connects the media layer's main-thread dispatcher to the Qt event loop.
#pragma once

// Installs the dispatcher's wake-up hook (posts a call of CheckSynchronize to the main thread's
// event loop) and its ProcessMessages hook (QCoreApplication::processEvents). Call on the main
// thread once the QApplication exists.
void InstallQtDispatcherHooks();
