#include "document/KrXMLNumericKrAttributes.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <stdexcept>

namespace {

// What distinguishes the three kinds: the C conversion and the name of the
// std::sto* function whose behaviour (and exception message) they keep.
template <typename T>
struct NumberText;

template <>
struct NumberText<double> {
    static constexpr const char* kFunction = "stod";
    static double convert(const char* text, char** end) { return std::strtod(text, end); }
};

template <>
struct NumberText<int64_t> {
    static constexpr const char* kFunction = "stoll";
    static int64_t convert(const char* text, char** end) { return std::strtoll(text, end, 10); }
};

template <>
struct NumberText<uint64_t> {
    static constexpr const char* kFunction = "stoull";
    static uint64_t convert(const char* text, char** end) { return std::strtoull(text, end, 10); }
};

enum class Conversion { ok, noNumber, outOfRange };

// The conversion the std::sto* function performs, reporting instead of
// throwing so that SetFromCString needs no exception. value is only
// changed on success.
template <typename T>
Conversion convertText(const char* text, T& value) {
    const int savedErrno = errno;
    errno = 0;
    char* end = nullptr;
    const T converted = NumberText<T>::convert(text, &end);
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

}  // namespace

template <typename T>
KrXMLNumericKrAttribute<T>::~KrXMLNumericKrAttribute() = default;

template <typename T>
bool KrXMLNumericKrAttribute<T>::IsSet() {
    return _isSet;
}

template <typename T>
void KrXMLNumericKrAttribute<T>::Write(std::ostream& out) {
    if (_isSet) {
        char buffer[40];
        const std::string_view text = format(_value, buffer);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
}

template <typename T>
void KrXMLNumericKrAttribute<T>::SetFromString(const std::string& text) {
    _isSet = true;
    switch (convertText(text.c_str(), _value)) {
        case Conversion::ok:
            return;
        case Conversion::noNumber:
            throw std::invalid_argument(NumberText<T>::kFunction);
        case Conversion::outOfRange:
            throw std::out_of_range(NumberText<T>::kFunction);
    }
}

template <typename T>
void KrXMLNumericKrAttribute<T>::SetFromCString(const char* text) {
    _isSet = text != nullptr;
    if (text == nullptr || convertText(text, _value) != Conversion::ok) {
        _value = 0;
    }
}

template <typename T>
void KrXMLNumericKrAttribute<T>::AppendTo(std::string& out) {
    if (_isSet) {
        char buffer[40];
        out += format(_value, buffer);
    }
}

template <typename T>
T& KrXMLNumericKrAttribute<T>::Set(T value) {
    _value = value;
    _isSet = true;
    return _value;
}

template class KrXMLNumericKrAttribute<double>;
template class KrXMLNumericKrAttribute<int64_t>;
template class KrXMLNumericKrAttribute<uint64_t>;
