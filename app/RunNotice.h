// The desktop notification at the end of a long run: freedesktop notifications over the session
// bus. Main thread only.
#pragma once

#include <QString>

class QWidget;

// Runs shorter than this end without a notification.
constexpr qint64 RunNoticeMinimumMillis = 60'000;

// The notification's text for a run of AConverted converted and AFailed failed jobs.
QString RunNoticeText(int AConverted, int AFailed);

// Says that a run has ended when it took at least RunNoticeMinimumMillis and AWindow is not the
// active window; true when it was sent to the notification server. Nothing (false) without a
// session bus or a notification server; never waits for the server's answer.
bool NotifyRunEnded(const QWidget* AWindow, qint64 AElapsedMillis, int AConverted, int AFailed);
