// Reads arbitrary bytes as the configuration file; nothing may escape. The
// file is a memory file, named through /proc, so that a run leaves nothing
// on disk however it ends (a time limit or a finding runs no clean-up).
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "document/KrConfigValue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = ::memfd_create("quivo-fuzz-config", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ::ftruncate(fd, 0) != 0) {
        return 0;
    }
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) {
            return 0;
        }
        done += static_cast<size_t>(n);
    }
    ReadConfigValue(path, "quivoone", "quivoone", "quivooneserver", "address", "127.0.0.1");
    return 0;
}
