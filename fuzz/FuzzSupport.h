#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace ulvarend::fuzzing {

// A folder of its own below the temporary directory, removed when the process ends. Never
// destroyed itself, so that removing it at exit cannot come after its destruction.
inline const std::filesystem::path& temporaryFolder() {
    static const auto* folder = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "ulvarend-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(temporaryFolder(), ignored);
        });
        return new std::filesystem::path(pattern);
    }();
    return *folder;
}

inline std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A property the target checks has failed: libFuzzer keeps the input as a crash.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz property failed: %s\n", what);
    std::abort();
}

} // namespace ulvarend::fuzzing
