#pragma once
// A fresh folder under /tmp that the test works in: the storage names its
// files relative to the working directory ("./demo.xml"), so the folder is
// made the working directory for the test's lifetime and removed after it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class AppTestFolder {
  public:
    AppTestFolder() {
        char pattern[] = "/tmp/quivo-app-test-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
            return;
        }
        _path = pattern;
        _previous = std::filesystem::current_path();
        std::filesystem::current_path(_path);
    }
    ~AppTestFolder() {
        if (_path.empty()) {
            return;
        }
        std::filesystem::current_path(_previous);
        std::error_code ignored;
        std::filesystem::remove_all(_path, ignored);
    }
    AppTestFolder(const AppTestFolder&) = delete;
    AppTestFolder& operator=(const AppTestFolder&) = delete;

    const std::string& path() const { return _path; }

    // Writes a file relative to the folder, making its parent folders.
    static void Write(const std::string& relative, const std::string& content) {
        const std::filesystem::path file(relative);
        if (file.has_parent_path()) {
            std::filesystem::create_directories(file.parent_path());
        }
        std::ofstream(file, std::ios::binary) << content;
    }
    static bool Exists(const std::string& relative) {
        return std::filesystem::exists(relative);
    }

  private:
    std::string _path;
    std::filesystem::path _previous;
};
