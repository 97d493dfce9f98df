#include <gtest/gtest.h>

#include <link.h>

#include <filesystem>
#include <string>
#include <vector>

#include "FFAPI.h"
#include "FFLoad.h"

namespace fs = std::filesystem;

namespace {
std::vector<std::string> LoadedObjects() {
    std::vector<std::string> names;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            static_cast<std::vector<std::string>*>(data)->push_back(info->dlpi_name ? info->dlpi_name : "");
            return 0;
        },
        &names);
    return names;
}

fs::path SystemLibrary(const std::string& AName) {
    for (const char* dir : {"/usr/lib/x86_64-linux-gnu", "/usr/lib64", "/usr/lib"})
        if (fs::exists(fs::path(dir) / AName)) return fs::path(dir) / AName;
    return {};
}
}  // namespace

// A LibAV folder beside the program holds copies of the libraries: they are loaded from there,
// and so are their dependencies, never the system's copies.
TEST(LoaderFolder, LibrariesAndTheirDependenciesComeFromTheFolder) {
    const fs::path dir = fs::temp_directory_path() / ("qac-libav-" + std::to_string(getpid())) / "LibAV";
    fs::remove_all(dir.parent_path());
    fs::create_directories(dir);
    for (TLibrary l : {avCodec, avCore, avDevice, avFilter, avFormat, avUtil, swScale}) {
        const std::string name = GlobalFFLoader.LibraryFileName(l);
        const fs::path src = SystemLibrary(name);
        ASSERT_FALSE(src.empty()) << name;
        fs::copy_file(fs::canonical(src), dir / name);
    }
    for (const auto& n : LoadedObjects()) ASSERT_EQ(n.find("libavutil"), std::string::npos) << n;

    GlobalFFLoader.SetLibraryPath(dir.string());
    ASSERT_TRUE(GlobalFFLoader.Load(EncoderLibraries)) << GlobalFFLoader.LastErrMsg();
    int fromFolder = 0;
    for (const auto& n : LoadedObjects()) {
        if (n.find("libavutil.so") != std::string::npos ||
            n.find("libavcodec.so") != std::string::npos ||
            n.find("libswresample.so") != std::string::npos) {
            EXPECT_EQ(n.rfind(dir.string(), 0), 0u) << n << " was not loaded from the folder";
            ++fromFolder;
        }
    }
    EXPECT_EQ(fromFolder, 3);
    // The C runtime is a system library: never searched in the folder.
    EXPECT_TRUE(GlobalFFLoader.Loaded(myUtil));

    // A library missing from the folder is loaded by bare name from the system.
    GlobalFFLoader.Unload(AllLibraries);
    fs::remove(dir / GlobalFFLoader.LibraryFileName(avDevice));
    EXPECT_TRUE(GlobalFFLoader.Load(avDevice)) << GlobalFFLoader.LastErrMsg();
    GlobalFFLoader.Unload(AllLibraries);
    fs::remove_all(dir.parent_path());
}
