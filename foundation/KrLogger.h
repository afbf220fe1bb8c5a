#pragma once
// The process-wide table of nine log channels. Every channel first points at
// the logger's own file stream ("/dev/null" for g_logger); the application
// may point channels at other streams during start-up, before other threads
// run. Channel 0 also answers every number outside 1 to 8.
//
// Lines written through writeLine() or line() are whole: they are built
// apart and written under `_mutex`, so writers on many threads never
// interleave. Plain `*channel(n) << ...` writes take no lock.

#include <fstream>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>

class KrLogLine;

class KrLogger {
  public:
    explicit KrLogger(const std::string& path);
    KrLogger(const KrLogger&) = delete;
    KrLogger& operator=(const KrLogger&) = delete;

    // Numbers above 8 are ignored.
    void setChannel(unsigned int number, std::ostream* stream);
    std::ostream* channel(unsigned int number) const;
    std::mutex* mutex() { return &_mutex; }

    // Writes `text` and a line feed to the channel as one unit and flushes.
    void writeLine(unsigned int number, const std::string& text);
    // A line that is collected with << and written whole when it goes out of scope.
    KrLogLine line(unsigned int number);

  private:
    // Channels 1 to 8, then channel 0.
    std::ostream* _channels[9];
    std::ofstream _file;
    // Serialises the lines of writeLine() and line().
    std::mutex _mutex;
};

class KrLogLine {
  public:
    KrLogLine(KrLogger& logger, unsigned int number) : _logger(logger), _number(number) {}
    KrLogLine(const KrLogLine&) = delete;
    KrLogLine& operator=(const KrLogLine&) = delete;
    ~KrLogLine() { _logger.writeLine(_number, _text.str()); }

    template <typename T>
    KrLogLine& operator<<(const T& value) {
        _text << value;
        return *this;
    }

  private:
    KrLogger& _logger;
    unsigned int _number;
    std::ostringstream _text;
};

extern KrLogger g_logger;
