#include "foundation/KrFileHandle.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

namespace {

class Folder {
  public:
    Folder() {
        char pattern[] = "/tmp/quivo-handle-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~Folder() { std::filesystem::remove_all(path); }
    bool empty() const { return std::filesystem::is_empty(path); }
    std::string path;
};

}  // namespace

TEST(KrFileHandle, ATemporaryFileHasNoNameAndKeepsWhatIsWrittenReadByPosition) {
    const Folder folder;
    int error = -1;
    const KrFileHandle file = KrFileHandle::openTemporary(folder.path.c_str(), error);
    ASSERT_TRUE(file.isOpen()) << error;
    EXPECT_EQ(error, 0);
    EXPECT_TRUE(folder.empty());
    EXPECT_NE(::fcntl(file.get(), F_GETFD) & FD_CLOEXEC, 0);
    const std::string bytes(300000, 'q');
    ASSERT_TRUE(file.writeAll(bytes.data(), bytes.size()));
    ASSERT_TRUE(file.writeAll("tail", 4));
    // Positional reads leave the file's own offset where the writes left it.
    char got[5] = {};
    EXPECT_EQ(file.readAt(got, 4, bytes.size()), 4);
    EXPECT_STREQ(got, "tail");
    EXPECT_EQ(file.readAt(got, 4, bytes.size() + 4), 0);
    EXPECT_EQ(::lseek(file.get(), 0, SEEK_CUR), static_cast<off_t>(bytes.size() + 4));
}

TEST(KrFileHandle, ATemporaryFileThatCannotBeMadeTellsWhy) {
    const Folder folder;
    int error = 0;
    const std::string missing = folder.path + "/missing";
    EXPECT_FALSE(KrFileHandle::openTemporary(missing.c_str(), error).isOpen());
    EXPECT_EQ(error, ENOENT);
    const KrFileHandle closed;
    EXPECT_FALSE(closed.writeAll("x", 1));
    EXPECT_EQ(errno, EBADF);
}
