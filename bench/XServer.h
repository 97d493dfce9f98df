// A bench's own X server (Xvfb), started by the bench process. Linux only, like the benches.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// An Xvfb server on display :ADisplay for the windows of a bench, or none (a note says why).
// Stopped when destroyed.
class TXServer {
public:
    explicit TXServer(int ADisplay) {
        const std::string display = ":" + std::to_string(ADisplay);
        const std::filesystem::path socket = "/tmp/.X11-unix/X" + std::to_string(ADisplay);
        std::vector<std::string> args{"Xvfb",        display,     "-screen", "0",
                                      "1024x768x24", "-nolisten", "tcp"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int r = posix_spawnp(&FPid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (r != 0) {
            FPid = 0;
            FNote = "Xvfb cannot be started (apt-get install -y xvfb)";
            return;
        }
        for (int i = 0; i < 100 && !std::filesystem::exists(socket); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!std::filesystem::exists(socket) || waitpid(FPid, nullptr, WNOHANG) != 0) {
            FNote = "Xvfb did not come up on " + display;
            return;
        }
        FDisplay = display;
    }
    ~TXServer() {
        if (FPid > 0) {
            kill(FPid, SIGTERM);
            waitpid(FPid, nullptr, 0);
        }
    }
    // The display name, empty when no server runs.
    const std::string& Display() const { return FDisplay; }
    const std::string& Note() const { return FNote; }

private:
    pid_t FPid = 0;
    std::string FDisplay, FNote;
};
