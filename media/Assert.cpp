#include "Assert.h"

#include <filesystem>

void AssertionFailed(const char* AMessage, const char* AFile, int ALine) {
    const std::string unit = std::filesystem::path(AFile).filename().string();
    throw EAssertionFailed(std::string(AMessage) + " (" + unit + ", line " +
                           std::to_string(ALine) + ")");
}
