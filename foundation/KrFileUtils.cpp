#include "foundation/KrFileUtils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace {

bool EndsWithSeparator(const std::string& path) {
    return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

}  // namespace

std::string TimeToString(int64_t nanoseconds) {
    // ctime() shares one static buffer between threads; this writes the same
    // text from a local one. The names are fixed like ctime's, whatever the
    // process's LC_TIME is.
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int64_t seconds = nanoseconds / 1000000000;
    if (nanoseconds % 1000000000 < 0)
        --seconds;
    const time_t whole = static_cast<time_t>(seconds);
    struct tm local {};
    if (localtime_r(&whole, &local) == nullptr || local.tm_wday < 0 || local.tm_wday > 6 ||
        local.tm_mon < 0 || local.tm_mon > 11) {
        throw std::logic_error("TimeToString: time out of range");
    }
    char clock[64];
    if (std::strftime(clock, sizeof clock, "%e %H:%M:%S %Y", &local) == 0) {
        throw std::logic_error("TimeToString: time out of range");
    }
    std::string text = kDays[local.tm_wday];
    text += ' ';
    text += kMonths[local.tm_mon];
    text += ' ';
    text += clock;
    return text;
}

std::string NowSecondsDotMillis() {
    const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    char text[48];
    std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(ns / 1000000000),
                  static_cast<long long>((ns % 1000000000) / 1000000));
    return text;
}

void LocalTime(struct tm* out, const time_t* time) {
    localtime_r(time, out);
}

std::string TangoHost() {
    const char* value = std::getenv("TANGO_HOST");
    return value != nullptr ? value : "";
}

std::string CurrentDirectory() {
    char* name = get_current_dir_name();
    if (name == nullptr)
        return "";
    std::string result = name;
    std::free(name);
    return result;
}

std::string CurrentDirDot() {
    return ".";
}

std::string CurrentDirDot(const std::string&) {
    return ".";
}

std::string DirectoryOf(const std::string&) {
    return ".";
}

bool DirectoryExists(const std::string& path, bool create) {
    if (DIR* dir = opendir(path.c_str())) {
        closedir(dir);
        return true;
    }
    if (!create)
        return false;
    mkdir(path.c_str(), 0775);
    if (DIR* dir = opendir(path.c_str())) {
        closedir(dir);
        return true;
    }
    return false;
}

bool FileSize(const std::string& path, uint64_t* size) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return false;
    if (size != nullptr)
        *size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool RemoveFile(const std::string& path) {
    return std::remove(path.c_str()) == 0;
}

void ListDirectory(const std::string& path, std::list<std::string>& names, int mode) {
    names.clear();
    if (path.empty())
        return;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        return;
    const int fd = dirfd(dir);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        closedir(dir);
        return;
    }
    while (const struct dirent* entry = readdir(dir)) {
        unsigned char type = entry->d_type;
        // Some file systems do not report the type in the entry.
        if (type == DT_UNKNOWN) {
            struct stat entryInfo {};
            if (fstatat(fd, entry->d_name, &entryInfo, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISREG(entryInfo.st_mode)) {
                type = DT_REG;
            } else if (S_ISDIR(entryInfo.st_mode)) {
                type = DT_DIR;
            }
        }
        const std::string name = entry->d_name;
        if (mode == 0) {
            if (type == DT_REG)
                names.push_back(name);
        } else if (type == DT_DIR) {
            if (mode == 2 && (name == "." || name == ".."))
                continue;
            names.push_back(name);
        }
    }
    closedir(dir);
}

bool CopyFile(const std::string& name, const std::string& fromDir, const std::string& toDir,
              std::string& newName) {
    // True has always meant "the source could not be opened"; any other
    // failure reports true as well, so that a failed copy never reads as done.
    try {
        if (newName.empty())
            newName = name;
        std::ifstream source(JoinDirectoryAndName(fromDir, name), std::ios::in | std::ios::binary);
        if (!source.is_open())
            return true;
        std::ofstream target(JoinDirectoryAndName(toDir, newName),
                             std::ios::out | std::ios::binary | std::ios::trunc);
        if (!target.is_open())
            return true;
        char block[65536];
        while (source) {
            source.read(block, sizeof block);
            const std::streamsize got = source.gcount();
            if (got > 0 && !target.write(block, got))
                return true;
        }
        // Reading ends at end of file; anything else is a read error.
        if (source.bad() || !source.eof())
            return true;
        target.close();
        return target.fail();
    } catch (...) {
        return true;  // the copy failed (see above)
    }
}

std::string EnsureTrailingSlash(std::string& path) {
    if (path.empty())
        return "";
    if (!EndsWithSeparator(path))
        path += '/';
    std::string result = path;
    for (char& c : result) {
        if (c == '\\')
            c = '/';
    }
    return result;
}

std::string EnsureTrailingSlashCopy(const std::string& path) {
    std::string copy = path;
    return EnsureTrailingSlash(copy);
}

std::string EnsureTrailingSlashOf(const std::string& path) {
    return EnsureTrailingSlashCopy(path);
}

std::string& AssignDirectoryPath(std::string& target, const std::string& path) {
    target = EnsureTrailingSlashCopy(path);
    return target;
}

std::string& AssignDirectoryPath(std::string& target, const char* path, size_t length) {
    return AssignDirectoryPath(target, std::string(path, length));
}

std::string& AppendPathComponent(std::string& target, const std::string& component) {
    target = EnsureTrailingSlashCopy(target) + component;
    return target;
}

std::string& AppendPathComponent(std::string& target, const char* component, size_t length) {
    return AppendPathComponent(target, std::string(component, length));
}

std::string JoinDirectoryAndName(const std::string& dir, const std::string& name) {
    return EnsureTrailingSlashCopy(dir) + name;
}

std::string JoinDirectories(const std::string& dir, const std::string& sub) {
    std::string joined = EnsureTrailingSlashCopy(dir) + sub;
    return EnsureTrailingSlash(joined);
}

std::string JoinDirectories(const std::string& dir, const char* sub, size_t length) {
    return JoinDirectories(dir, std::string(sub, length));
}

std::string UpLevels(uint64_t count) {
    std::string result;
    result.reserve(static_cast<size_t>(count) * 3);
    for (uint64_t i = 0; i < count; ++i)
        result += "../";
    return result;
}

std::string ConvertBackslashes(std::string path, int mode) {
    if (mode <= 0) {
        for (char& c : path) {
            if (c == '\\')
                c = '/';
        }
    }
    return path;
}

std::string FileNameOf(std::string path) {
    const size_t last = path.find_last_of("/\\");
    if (last == std::string::npos)
        return path;
    if (last + 1 < path.size())
        return path.substr(last + 1);
    size_t previous = last;
    while (previous > 0 && !IsSeparator(path[previous - 1]))
        --previous;
    if (previous == 0)
        return "";
    return path.substr(previous, last - previous);
}
