// Reads arbitrary bytes as the configuration file; nothing may escape.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "document/KrConfigValue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/quivo-fuzz-config-" + std::to_string(getpid()) + ".xml";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return 0;
    }
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    ReadConfigValue(path, "quivoone", "quivoone", "quivooneserver", "address", "127.0.0.1");
    return 0;
}
