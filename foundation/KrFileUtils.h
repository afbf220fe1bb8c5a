#pragma once
// File-system, path-text, environment and clock helpers. Paths are byte
// strings; results use "/" as separator and a backslash in an input path is
// read as a separator too. Failures are reported through results only.

#include <cstdint>
#include <ctime>
#include <list>
#include <string>

// Time texts.
// "Thu Mar  5 10:20:30 2024" for a system-clock time in nanoseconds, in local
// time. Throws std::logic_error for a year the C library cannot write.
std::string TimeToString(int64_t nanoseconds);
// Current time as seconds since the epoch, ".", and three digits of milliseconds.
std::string NowSecondsDotMillis();
void LocalTime(struct tm* out, const time_t* time);

// Environment and fixed answers.
std::string TangoHost();
// The working directory, or "" when it cannot be had.
std::string CurrentDirectory();
std::string CurrentDirDot();
std::string CurrentDirDot(const std::string& path);
std::string DirectoryOf(const std::string& path);

// Directory and file queries and changes.
// True when the directory can be opened; with `create`, makes one level first.
bool DirectoryExists(const std::string& path, bool create);
bool FileSize(const std::string& path, uint64_t* size);
bool RemoveFile(const std::string& path);
// mode 0: regular files; any other mode: directories; mode 2 leaves out "."
// and "..". Entries come in the order the file system gives them.
void ListDirectory(const std::string& path, std::list<std::string>& names, int mode);
// Copies fromDir/name to toDir/newName (an empty newName is set to name).
// True means the copy failed: the source could not be opened or read, or the
// target could not be opened or fully written. False: every byte was copied.
bool CopyFile(const std::string& name, const std::string& fromDir, const std::string& toDir,
              std::string& newName);

// Path texts.
// Appends "/" to `path` itself unless it is empty or ends in "/" or "\";
// returns a copy with every backslash turned into "/".
std::string EnsureTrailingSlash(std::string& path);
std::string EnsureTrailingSlashCopy(const std::string& path);
std::string EnsureTrailingSlashOf(const std::string& path);
std::string& AssignDirectoryPath(std::string& target, const std::string& path);
std::string& AssignDirectoryPath(std::string& target, const char* path, size_t length);
std::string& AppendPathComponent(std::string& target, const std::string& component);
std::string& AppendPathComponent(std::string& target, const char* component, size_t length);
std::string JoinDirectoryAndName(const std::string& dir, const std::string& name);
// A directory path that ends with "/".
std::string JoinDirectories(const std::string& dir, const std::string& sub);
std::string JoinDirectories(const std::string& dir, const char* sub, size_t length);
std::string UpLevels(uint64_t count);
// mode <= 0 turns every backslash into "/"; mode > 0 leaves the text as it is.
std::string ConvertBackslashes(std::string path, int mode);
// The last path component; for a path ending in a separator, the one before it.
std::string FileNameOf(std::string path);
