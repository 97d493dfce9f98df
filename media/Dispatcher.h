// The one hand-over from any thread to the main thread.
//
// Synchronize(fn) runs fn on the main thread while the calling thread waits (directly when
// called on the main thread); an exception thrown by fn is rethrown in the caller.
// CheckSynchronize() runs the pending calls on the main thread, in the order they arrived.
// The program installs a wake-up hook (called from the synchronising thread after queuing, so
// the main thread's loop calls CheckSynchronize soon) and a ProcessMessages hook (called by
// main-thread waits between their steps). Main-thread waits never block outright: they call
// ProcessMessages, which runs the hook and then CheckSynchronize.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

using TThreadMethod = std::function<void()>;

// The main thread is the one that initialised the process (static initialisation); tests and
// programs that start elsewhere may name it explicitly.
void SetMainThread(std::thread::id AThread = std::this_thread::get_id());
bool IsMainThread();

void Synchronize(const TThreadMethod& AMethod);

// Runs every call queued so far; returns true when any ran. Main thread only.
bool CheckSynchronize();

void SetWakeMainThreadHook(std::function<void()> AHook);
void SetProcessMessagesHook(std::function<void()> AHook);

// Runs the ProcessMessages hook (window messages) and then CheckSynchronize. On a thread other
// than the main thread it only yields.
void ProcessMessages();

// Waits on the main thread until APredicate is true, pumping every AStep; returns false when
// ATimeout (when positive) passed first. On other threads it sleeps between checks.
bool WaitPumping(const std::function<bool()>& APredicate,
                 std::chrono::milliseconds AStep = std::chrono::milliseconds(20),
                 std::chrono::milliseconds ATimeout = std::chrono::milliseconds(0));
