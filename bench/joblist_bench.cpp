// Adding many files to the job list of the real main window (offscreen): time of the whole add
// against the probe of the same files alone, the memory per job as the growth of the resident
// memory from half the list to the whole (so the fixed cost of a first add is not counted), then a
// scroll through the grid.
//
//   joblist_bench SHORT_MP3 WORKDIR [COUNT]
//
// COUNT (default 10000) links to SHORT_MP3 are made in WORKDIR/joblist; settings and user folders
// go to a fresh folder under WORKDIR.
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTableView>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "AppSetup.h"
#include "AppShell.h"
#include "FFDecode.h"
#include "FFEncode.h"

namespace fs = std::filesystem;

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double PeakMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

// The resident memory now (Linux: /proc/self/statm), in MiB.
double ResidentMiB() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s SHORT_MP3 WORKDIR [COUNT]\n", argv[0]);
        return 2;
    }
    const fs::path source = fs::absolute(argv[1]);
    const fs::path work = fs::absolute(argv[2]);
    const int count = argc > 3 ? std::atoi(argv[3]) : 10000;
    const fs::path home = work / "joblist-home";
    fs::remove_all(home);
    fs::create_directories(home);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);

    const fs::path dir = work / "joblist";
    fs::create_directories(dir);
    QStringList files;
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "song%05d.mp3", i);
        const fs::path f = dir / name;
        std::error_code ec;
        if (!fs::exists(f)) fs::create_hard_link(source, f, ec);
        files << QString::fromStdString(f.string());
    }

    QApplication app(argc, argv);
    QApplication::setOrganizationName("Quendral");
    QApplication::setApplicationName("Quendral Audio Converter");
    InstallQtDispatcherHooks();
    TAppWindows windows;
    TMainForm& form = *windows.MainForm;
    form.resize(800, 600);
    form.show();
    QCoreApplication::processEvents();
    const double before = PeakMiB(), residentBefore = ResidentMiB();

    // Two adds, half the list and then the rest: the growth between them is the cost per job.
    const int half = count / 2;
    QElapsedTimer wall;
    wall.start();
    double cpu = CpuSeconds();
    form.AddDroppedFiles(files.mid(0, half));
    const double residentHalf = ResidentMiB(), peakHalf = PeakMiB();
    form.AddDroppedFiles(files.mid(half));
    const double addWall = wall.elapsed() / 1000.0, addCpu = CpuSeconds() - cpu;
    const double afterAdd = PeakMiB(), residentAfter = ResidentMiB();
    if (static_cast<int>(form.AudioFiles.size()) != count) {
        std::fprintf(stderr, "only %zu of %d files were added\n", form.AudioFiles.size(), count);
        return 1;
    }

    // The probe alone over the same files.
    TFFDecoder* probe = form.FFEncoder->Decoder();
    wall.restart();
    cpu = CpuSeconds();
    for (const QString& f : files) {
        probe->LoadFile(f.toStdString());
        probe->CloseFile();
    }
    const double probeWall = wall.elapsed() / 1000.0, probeCpu = CpuSeconds() - cpu;

    // A scroll through the grid, one page at a time, each page painted.
    auto* grid = form.findChild<QTableView*>("sgList");
    wall.restart();
    int pages = 0;
    for (QScrollBar* bar = grid->verticalScrollBar(); bar->value() < bar->maximum() && pages < 2000; ++pages) {
        bar->setValue(bar->value() + bar->pageStep());
        grid->viewport()->repaint();
    }
    const double scroll = wall.elapsed() / 1000.0;

    std::printf("adding %d MP3 files: %.2f s wall, %.2f s CPU; the probe alone %.2f s wall, %.2f s CPU\n", count,
                addWall, addCpu, probeWall, probeCpu);
    std::printf("beyond the probe: %.3f ms CPU per file (goal <= 1 ms)\n",
                count ? (addCpu - probeCpu) * 1000.0 / count : 0.0);
    const int rest = count - half;
    std::printf(
        "resident memory: %.1f MiB before, %.1f MiB with %d jobs, %.1f MiB with %d jobs: %.2f KiB "
        "per "
        "job (the growth from %d to %d jobs)\n",
        residentBefore, residentHalf, half, residentAfter, count,
        rest > 0 ? (residentAfter - residentHalf) * 1024.0 / rest : 0.0, half, count);
    std::printf(
        "peak resident memory: %.1f MiB before, %.1f MiB with %d jobs, %.1f MiB with %d jobs: %.2f "
        "KiB "
        "per job (same growth)\n",
        before, peakHalf, half, afterAdd, count,
        rest > 0 ? (afterAdd - peakHalf) * 1024.0 / rest : 0.0);
    std::printf("grid: %d pages scrolled and painted in %.3f s (%.2f ms per page)\n", pages, scroll,
                pages ? scroll * 1000.0 / pages : 0.0);
    form.close();
    return 0;
}
