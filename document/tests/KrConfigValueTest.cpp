#include "document/KrConfigValue.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

class ConfigFile {
  public:
    explicit ConfigFile(const std::string& content)
        : _path(std::string(QUIVO_BINARY_DIR) + "/config-test-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".xml") {
        std::ofstream(_path, std::ios::binary) << content;
    }
    ~ConfigFile() { std::remove(_path.c_str()); }
    const std::string& path() const { return _path; }

  private:
    std::string _path;
};

std::string Address(const std::string& path) {
    return ReadConfigValue(path, "quivoone", "quivoone", "quivooneserver", "address", "127.0.0.1");
}

std::string Port(const std::string& path) {
    return ReadConfigValue(path, "quivoone", "quivoone", "quivooneserver", "port", "8000");
}

}  // namespace

TEST(ReadConfigValue, ReadsAttributeWithDeclarationCommentAndCRLF) {
    ConfigFile file(
        "<?xml version=\"1.0\"?>\r\n<!-- server settings -->\r\n<quivoone>\r\n"
        "  <quivooneserver address=\"0.0.0.0\"/>\r\n"
        "  <quivooneservercgibin path=\"/usr/lib/cgi-bin\"/>\r\n</quivoone>\r\n");
    EXPECT_EQ(Address(file.path()), "0.0.0.0");
    EXPECT_EQ(Port(file.path()), "8000");
    EXPECT_EQ(
        ReadConfigValue(file.path(), "quivoone", "quivoone", "quivooneservercgibin", "path", ""),
        "/usr/lib/cgi-bin");
}

TEST(ReadConfigValue, LastSectionDecidesEvenWithoutTheKey) {
    ConfigFile file(
        "<quivoone><quivooneserver address=\"0.0.0.0\" port=\"81\"/>"
        "<quivooneserver port=\"82\"/></quivoone>");
    EXPECT_EQ(Address(file.path()), "127.0.0.1");
    EXPECT_EQ(Port(file.path()), "82");
}

TEST(ReadConfigValue, SectionsCountAtAnyDepthInsideTheApplicationOnly) {
    ConfigFile file(
        "<root><other><s k=\"outside\"/></other><app><x><y><s k=\"deep\"/></y></x></app>"
        "</root>");
    EXPECT_EQ(ReadConfigValue(file.path(), "root", "app", "s", "k", "d"), "deep");
}

TEST(ReadConfigValue, TwoApplicationElementsGiveTheDefault) {
    ConfigFile file(
        "<quivoone><quivoone><quivooneserver address=\"1.2.3.4\"/></quivoone></quivoone>");
    EXPECT_EQ(Address(file.path()), "127.0.0.1");
}

TEST(ReadConfigValue, BrokenFilesGiveTheDefaultsAndThrowNothing) {
    const std::string missing = std::string(QUIVO_BINARY_DIR) + "/no-such-config.xml";
    EXPECT_EQ(Address(missing), "127.0.0.1");
    ConfigFile empty("");
    EXPECT_EQ(Address(empty.path()), "127.0.0.1");
    EXPECT_EQ(Port(empty.path()), "8000");
    ConfigFile wrongClose("<quivoone><quivooneserver address=\"0.0.0.0\"></quivoone>");
    EXPECT_EQ(Address(wrongClose.path()), "127.0.0.1");
    ConfigFile noRoot("<other><quivooneserver address=\"0.0.0.0\"/></other>");
    EXPECT_EQ(Address(noRoot.path()), "127.0.0.1");
}

TEST(ReadConfigValue, OnlySmallRegularFilesAreRead) {
    // Endless, blocking or oversized inputs give the default at once.
    EXPECT_EQ(Address("/dev/zero"), "127.0.0.1");
    EXPECT_EQ(Address(QUIVO_BINARY_DIR), "127.0.0.1");
    const std::string fifo = std::string(QUIVO_BINARY_DIR) + "/config-test-fifo.xml";
    std::remove(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(Address(fifo), "127.0.0.1");
    std::remove(fifo.c_str());
    const std::string settings = "<quivoone><quivooneserver address=\"0.0.0.0\"/></quivoone>";
    ConfigFile fits(settings + std::string(1000, ' '));
    EXPECT_EQ(Address(fits.path()), "0.0.0.0");
    ConfigFile oversized(settings + std::string(16 * 1024 * 1024 + 1 - settings.size(), ' '));
    EXPECT_EQ(Address(oversized.path()), "127.0.0.1");
}
