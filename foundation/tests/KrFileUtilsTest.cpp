#include "foundation/KrFileUtils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

// A fresh directory per test, removed with everything in it afterwards.
class KrFileUtilsDir : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/quivo_fileutils_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        _dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(_dir, ignored);
    }
    std::string Path(const std::string& name) const { return _dir + "/" + name; }
    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream out(Path(name), std::ios::binary);
        out << bytes;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string _dir;
};

// Sets TZ for one scope and restores it.
class ZoneScope {
  public:
    explicit ZoneScope(const char* zone) {
        const char* old = std::getenv("TZ");
        _had = old != nullptr;
        if (_had)
            _old = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        if (_had) {
            setenv("TZ", _old.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    bool _had = false;
    std::string _old;
};

}  // namespace

TEST(KrFileUtils, TimeToStringWritesTheCtimeTextInLocalTime) {
    {
        ZoneScope zone("UTC");
        EXPECT_EQ(TimeToString(0), "Thu Jan  1 00:00:00 1970");
        EXPECT_EQ(TimeToString(1709633430LL * 1000000000 + 999999999), "Tue Mar  5 10:10:30 2024");
        EXPECT_EQ(TimeToString(-1), "Wed Dec 31 23:59:59 1969");
        EXPECT_EQ(TimeToString(1710892800LL * 1000000000), "Wed Mar 20 00:00:00 2024");
    }
    {
        ZoneScope zone("Europe/Berlin");
        EXPECT_EQ(TimeToString(0), "Thu Jan  1 01:00:00 1970");
        EXPECT_EQ(TimeToString(1720000000LL * 1000000000), "Wed Jul  3 11:46:40 2024");
    }
}

TEST(KrFileUtils, NowSecondsDotMillisWritesThreeDigits) {
    const std::string now = NowSecondsDotMillis();
    const size_t dot = now.find('.');
    ASSERT_NE(dot, std::string::npos) << now;
    EXPECT_GE(dot, 10u) << now;
    EXPECT_EQ(now.size(), dot + 4) << now;
    EXPECT_EQ(now.find_first_not_of("0123456789."), std::string::npos) << now;
    const long long seconds = std::stoll(now.substr(0, now.find('.')));
    EXPECT_NEAR(static_cast<double>(seconds), static_cast<double>(time(nullptr)), 2.0);
}

TEST(KrFileUtils, EnvironmentAndFixedAnswers) {
    unsetenv("TANGO_HOST");
    EXPECT_EQ(TangoHost(), "");
    setenv("TANGO_HOST", "db:10000", 1);
    EXPECT_EQ(TangoHost(), "db:10000");
    unsetenv("TANGO_HOST");

    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(CurrentDirectory(), cwd);
    EXPECT_EQ(CurrentDirDot(), ".");
    EXPECT_EQ(CurrentDirDot("/x"), ".");
    EXPECT_EQ(DirectoryOf("/a/b/c"), ".");
}

TEST_F(KrFileUtilsDir, DirectoryExistsCreatesOneLevelOnly) {
    EXPECT_TRUE(DirectoryExists(_dir, false));
    EXPECT_FALSE(DirectoryExists(Path("x"), false));
    EXPECT_FALSE(DirectoryExists(Path("x/y"), true));
    EXPECT_FALSE(DirectoryExists(Path("x"), false));
    const mode_t oldMask = umask(0);
    EXPECT_TRUE(DirectoryExists(Path("x"), true));
    umask(oldMask);
    struct stat info {};
    ASSERT_EQ(stat(Path("x").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0775u);
    Write("file", "x");
    EXPECT_FALSE(DirectoryExists(Path("file"), true));
}

TEST_F(KrFileUtilsDir, FileSizeAndRemove) {
    Write("five", "12345");
    uint64_t size = 0;
    EXPECT_TRUE(FileSize(Path("five"), &size));
    EXPECT_EQ(size, 5u);
    EXPECT_TRUE(FileSize(Path("five"), nullptr));
    EXPECT_FALSE(FileSize(Path("none"), &size));
    EXPECT_EQ(size, 5u);
    EXPECT_TRUE(RemoveFile(Path("five")));
    EXPECT_FALSE(RemoveFile(Path("five")));
    EXPECT_FALSE(FileSize(Path("five"), nullptr));
}

TEST_F(KrFileUtilsDir, ListDirectoryByMode) {
    Write("a.txt", "a");
    Write("b.txt", "b");
    ASSERT_EQ(mkdir(Path("sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink(Path("a.txt").c_str(), Path("link").c_str()), 0);

    auto sorted = [](std::list<std::string> names) {
        names.sort();
        return names;
    };
    std::list<std::string> names = {"stale"};
    ListDirectory(_dir, names, 0);
    EXPECT_EQ(sorted(names), (std::list<std::string>{"a.txt", "b.txt"}));
    ListDirectory(_dir, names, 1);
    EXPECT_EQ(sorted(names), (std::list<std::string>{".", "..", "sub"}));
    ListDirectory(_dir, names, 2);
    EXPECT_EQ(sorted(names), (std::list<std::string>{"sub"}));
    ListDirectory(Path("missing"), names, 0);
    EXPECT_TRUE(names.empty());
    names = {"stale"};
    ListDirectory("", names, 0);
    EXPECT_TRUE(names.empty());
}

TEST_F(KrFileUtilsDir, CopyFileAnswersTrueOnlyWhenTheCopyFailed) {
    ASSERT_EQ(mkdir(Path("to").c_str(), 0755), 0);
    std::string content;
    for (int i = 0; i < 200000; ++i)
        content += static_cast<char>(i * 7);
    Write("big.bin", content);

    std::string newName;
    EXPECT_FALSE(CopyFile("big.bin", _dir, Path("to"), newName));
    EXPECT_EQ(newName, "big.bin");
    EXPECT_EQ(Read("to/big.bin"), content);

    newName = "copy.bin";
    Write("to/copy.bin", std::string(300000, 'x'));
    EXPECT_FALSE(CopyFile("big.bin", _dir + "/", Path("to"), newName));
    EXPECT_EQ(Read("to/copy.bin"), content);

    Write("empty", "");
    newName.clear();
    EXPECT_FALSE(CopyFile("empty", _dir, Path("to"), newName));
    EXPECT_EQ(Read("to/empty"), "");

    // The source cannot be opened; the target cannot be opened, read from,
    // or fully written: each is a failure.
    newName.clear();
    EXPECT_TRUE(CopyFile("missing", _dir, Path("to"), newName));
    newName.clear();
    EXPECT_TRUE(CopyFile("big.bin", _dir, Path("no/such/dir"), newName));
    newName = "fromdir";
    EXPECT_TRUE(CopyFile("to", _dir, _dir, newName));
    newName = "full";
    EXPECT_TRUE(CopyFile("big.bin", _dir, "/dev", newName));
}

TEST(KrFileUtils, TrailingSlashFunctions) {
    std::string path = "a\\b";
    EXPECT_EQ(EnsureTrailingSlash(path), "a/b/");
    EXPECT_EQ(path, "a\\b/");
    path = "dir/";
    EXPECT_EQ(EnsureTrailingSlash(path), "dir/");
    EXPECT_EQ(path, "dir/");
    path = "dir\\";
    EXPECT_EQ(EnsureTrailingSlash(path), "dir/");
    EXPECT_EQ(path, "dir\\");
    path = "";
    EXPECT_EQ(EnsureTrailingSlash(path), "");
    EXPECT_EQ(path, "");

    const std::string constant = "x\\y";
    EXPECT_EQ(EnsureTrailingSlashCopy(constant), "x/y/");
    EXPECT_EQ(EnsureTrailingSlashOf(constant), "x/y/");
    EXPECT_EQ(constant, "x\\y");
}

TEST(KrFileUtils, PathJoiningFunctions) {
    EXPECT_EQ(JoinDirectoryAndName("/srv/www", "index.html"), "/srv/www/index.html");
    EXPECT_EQ(JoinDirectoryAndName("", "index.html"), "index.html");
    EXPECT_EQ(JoinDirectories("/srv", "www"), "/srv/www/");
    EXPECT_EQ(JoinDirectories("/srv", "www/"), "/srv/www/");
    EXPECT_EQ(JoinDirectories("/srv", "www", 2), "/srv/ww/");

    std::string target;
    EXPECT_EQ(AssignDirectoryPath(target, "c:\\base"), "c:/base/");
    EXPECT_EQ(AssignDirectoryPath(target, "dir-x", 3), "dir/");
    EXPECT_EQ(AppendPathComponent(target, "file"), "dir/file");
    EXPECT_EQ(target, "dir/file");
    EXPECT_EQ(AppendPathComponent(target, "name.txt", 4), "dir/file/name");

    EXPECT_EQ(UpLevels(0), "");
    EXPECT_EQ(UpLevels(3), "../../../");
    EXPECT_EQ(ConvertBackslashes("a\\b", 1), "a\\b");
    EXPECT_EQ(ConvertBackslashes("a\\b\\c", -1), "a/b/c");
    EXPECT_EQ(ConvertBackslashes("a\\b", 0), "a/b");
}

TEST(KrFileUtils, FileNameOfTable) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"a/b/c.txt", "c.txt"}, {"a/b/", "b"},   {"b/", ""},      {"name", "name"},
        {"a\\b\\c", "c"},       {"a\\b\\", "b"}, {"/", ""},       {"", ""},
        {"/b/", "b"},           {"a//", ""},     {"a/b\\c", "c"},
    };
    for (const auto& [path, name] : rows)
        EXPECT_EQ(FileNameOf(path), name) << path;
}
