#pragma once
// Test-only: a fresh folder that TMPDIR names while the object lives (for
// the bodies a server keeps in files), and what such a file holds.

#include <stdlib.h>

#include <filesystem>
#include <iterator>
#include <string>

#include "foundation/KrFileHandle.h"

class TemporaryFolder {
  public:
    TemporaryFolder() {
        char pattern[] = "/tmp/quivo-bodies-XXXXXX";
        path = ::mkdtemp(pattern);
        const char* before = ::getenv("TMPDIR");
        _had = before != nullptr;
        if (_had)
            _before = before;
        // Set before any thread of the test reads it.
        ::setenv("TMPDIR", path.c_str(), 1);
    }
    ~TemporaryFolder() {
        if (_had)
            ::setenv("TMPDIR", _before.c_str(), 1);
        else
            ::unsetenv("TMPDIR");
        std::filesystem::remove_all(path);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    // Names in the folder (a body's file has none).
    size_t entries() const {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(path),
                                                 std::filesystem::directory_iterator()));
    }
    std::string path;

  private:
    bool _had = false;
    std::string _before;
};

// The whole content of `file`, read by position.
inline std::string FileText(const KrFileHandle& file) {
    std::string text;
    char chunk[65536];
    for (;;) {
        const ssize_t n = file.readAt(chunk, sizeof chunk, text.size());
        if (n <= 0)
            return text;
        text.append(chunk, static_cast<size_t>(n));
    }
}
