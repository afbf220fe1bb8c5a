#include "document/KrXMLNumericKrAttributes.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <stdexcept>

namespace {

enum class Conversion { ok, noNumber, outOfRange };

// The conversion std::stod / std::stoll / std::stoull perform, reporting
// instead of throwing so that SetFromCString needs no exception.
template <typename T, typename Convert>
Conversion convertText(const char* text, T& value, Convert convert) {
    const int savedErrno = errno;
    errno = 0;
    char* end = nullptr;
    const T converted = convert(text, &end);
    Conversion result = Conversion::ok;
    if (end == text) {
        result = Conversion::noNumber;
    } else if (errno == ERANGE) {
        result = Conversion::outOfRange;
    } else {
        value = converted;
    }
    if (errno == 0) {
        errno = savedErrno;
    }
    return result;
}

double convertDouble(const char* text, char** end) {
    return std::strtod(text, end);
}
int64_t convertInt64(const char* text, char** end) {
    return std::strtoll(text, end, 10);
}
uint64_t convertUint64(const char* text, char** end) {
    return std::strtoull(text, end, 10);
}

// The std::sto* failure, with the function's name as its message.
void throwFor(Conversion result, const char* function) {
    if (result == Conversion::noNumber) {
        throw std::invalid_argument(function);
    }
    if (result == Conversion::outOfRange) {
        throw std::out_of_range(function);
    }
}

// SetFromCString of the numeric kinds: null unsets, anything else sets and
// a failed conversion stores 0.
template <typename T, typename Convert>
void setFromCText(const char* text, T& value, bool& isSet, Convert convert) {
    if (text == nullptr) {
        value = 0;
        isSet = false;
        return;
    }
    isSet = true;
    if (convertText(text, value, convert) != Conversion::ok) {
        value = 0;
    }
}

// Formats the stream's default way (general format, six significant
// digits) without depending on the flags or locale of the target stream.
template <typename T>
std::string_view format(T value, char (&buffer)[40]) {
    std::to_chars_result result{};
    if constexpr (std::is_floating_point_v<T>) {
        result =
            std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
    } else {
        result = std::to_chars(buffer, buffer + sizeof buffer, value);
    }
    return std::string_view(buffer, static_cast<size_t>(result.ptr - buffer));
}

template <typename T>
void writeValue(std::ostream& out, T value) {
    char buffer[40];
    const std::string_view text = format(value, buffer);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

template <typename T>
void appendValue(std::string& out, T value) {
    char buffer[40];
    out += format(value, buffer);
}

}  // namespace

KrXMLDoubleKrAttribute::~KrXMLDoubleKrAttribute() = default;

bool KrXMLDoubleKrAttribute::IsSet() {
    return _isSet;
}

void KrXMLDoubleKrAttribute::Write(std::ostream& out) {
    if (_isSet) {
        writeValue(out, _value);
    }
}

void KrXMLDoubleKrAttribute::SetFromString(const std::string& text) {
    _isSet = true;
    throwFor(convertText(text.c_str(), _value, convertDouble), "stod");
}

void KrXMLDoubleKrAttribute::SetFromCString(const char* text) {
    setFromCText(text, _value, _isSet, convertDouble);
}

void KrXMLDoubleKrAttribute::AppendTo(std::string& out) {
    if (_isSet) {
        appendValue(out, _value);
    }
}

double& KrXMLDoubleKrAttribute::Set(double value) {
    _value = value;
    _isSet = true;
    return _value;
}

KrXMLInt64_tKrAttribute::~KrXMLInt64_tKrAttribute() = default;

bool KrXMLInt64_tKrAttribute::IsSet() {
    return _isSet;
}

void KrXMLInt64_tKrAttribute::Write(std::ostream& out) {
    if (_isSet) {
        writeValue(out, _value);
    }
}

void KrXMLInt64_tKrAttribute::SetFromString(const std::string& text) {
    _isSet = true;
    throwFor(convertText(text.c_str(), _value, convertInt64), "stoll");
}

void KrXMLInt64_tKrAttribute::SetFromCString(const char* text) {
    setFromCText(text, _value, _isSet, convertInt64);
}

void KrXMLInt64_tKrAttribute::AppendTo(std::string& out) {
    if (_isSet) {
        appendValue(out, _value);
    }
}

int64_t& KrXMLInt64_tKrAttribute::Set(int64_t value) {
    _value = value;
    _isSet = true;
    return _value;
}

KrXMLUint64_tKrAttribute::~KrXMLUint64_tKrAttribute() = default;

bool KrXMLUint64_tKrAttribute::IsSet() {
    return _isSet;
}

void KrXMLUint64_tKrAttribute::Write(std::ostream& out) {
    if (_isSet) {
        writeValue(out, _value);
    }
}

void KrXMLUint64_tKrAttribute::SetFromString(const std::string& text) {
    _isSet = true;
    throwFor(convertText(text.c_str(), _value, convertUint64), "stoull");
}

void KrXMLUint64_tKrAttribute::SetFromCString(const char* text) {
    setFromCText(text, _value, _isSet, convertUint64);
}

void KrXMLUint64_tKrAttribute::AppendTo(std::string& out) {
    if (_isSet) {
        appendValue(out, _value);
    }
}

uint64_t& KrXMLUint64_tKrAttribute::Set(uint64_t value) {
    _value = value;
    _isSet = true;
    return _value;
}
