// A bench's own processes: a child started quietly, and an X server (Xvfb). Linux only, like
// the benches.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// Starts AArgs (found on PATH) with AEnv added to the environment, replacing entries of the same
// names, standard output and error to /dev/null; 0 when it cannot be started.
inline pid_t SpawnQuiet(const std::vector<std::string>& AArgs, const std::vector<std::string>& AEnv = {}) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const bool replaced = std::any_of(AEnv.begin(), AEnv.end(), [&](const std::string& AOwn) {
            return entry.compare(0, AOwn.find('=') + 1, AOwn, 0, AOwn.find('=') + 1) == 0;
        });
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), AEnv.begin(), AEnv.end());
    std::vector<char*> argv, envp;
    for (const auto& a : AArgs) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int r = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return r == 0 ? pid : 0;
}

// An Xvfb server on display :ADisplay for the windows of a bench, or none (a note says why).
// Stopped when destroyed.
class TXServer {
public:
    explicit TXServer(int ADisplay) {
        const std::string display = ":" + std::to_string(ADisplay);
        const std::filesystem::path socket = "/tmp/.X11-unix/X" + std::to_string(ADisplay);
        FPid = SpawnQuiet({"Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        if (FPid == 0) {
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
