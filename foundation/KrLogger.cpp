#include "foundation/KrLogger.h"

#include <iostream>

// Including <iostream> above makes the standard streams ready before this
// object is built.
KrLogger g_logger("/dev/null");

KrLogger::KrLogger(const std::string& path) {
    _file.open(path, std::ios::out | std::ios::trunc);
    for (auto& channel : _channels)
        channel = &_file;
}

void KrLogger::setChannel(unsigned int number, std::ostream* stream) {
    if (number > 8)
        return;
    std::lock_guard<std::mutex> lock(_mutex);
    _channels[number == 0 ? 8 : number - 1] = stream;
}

std::ostream* KrLogger::channel(unsigned int number) const {
    return number >= 1 && number <= 8 ? _channels[number - 1] : _channels[8];
}

void KrLogger::writeLine(unsigned int number, const std::string& text) {
    std::lock_guard<std::mutex> lock(_mutex);
    std::ostream* out = channel(number);
    if (out == nullptr)
        return;
    out->write(text.data(), static_cast<std::streamsize>(text.size()));
    out->put('\n');
    out->flush();
}

KrLogLine KrLogger::line(unsigned int number) {
    return KrLogLine(*this, number);
}
