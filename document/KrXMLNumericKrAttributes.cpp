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

template <typename T>
KrXMLNumericKrAttribute<T>::~KrXMLNumericKrAttribute() = default;

template <typename T>
bool KrXMLNumericKrAttribute<T>::IsSet() {
    return _isSet;
}

template <typename T>
void KrXMLNumericKrAttribute<T>::Write(std::ostream& out) {
    if (_isSet) {
        writeValue(out, _value);
    }
}

template <typename T>
void KrXMLNumericKrAttribute<T>::SetFromString(const std::string& text) {
    _isSet = true;
    throwFor(convertText(text.c_str(), _value, NumberText<T>::convert), NumberText<T>::kFunction);
}

template <typename T>
void KrXMLNumericKrAttribute<T>::SetFromCString(const char* text) {
    setFromCText(text, _value, _isSet, NumberText<T>::convert);
}

template <typename T>
void KrXMLNumericKrAttribute<T>::AppendTo(std::string& out) {
    if (_isSet) {
        appendValue(out, _value);
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
