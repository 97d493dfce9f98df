// The main-thread dispatcher driven by Qt's event loop (windows and batch mode alike).
#pragma once

// Installs the dispatcher's wake-up hook (posts a call of CheckSynchronize to the main thread's
// event loop) and its ProcessMessages hook (QCoreApplication::processEvents). Call on the main
// thread once the QApplication exists.
void InstallQtDispatcherHooks();
