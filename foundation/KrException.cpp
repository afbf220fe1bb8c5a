#include "foundation/KrException.h"

KrException::KrException(const std::string& message, unsigned int, const std::string&)
    : _message(message) {}

KrException::KrException(const KrException& inner, unsigned int, const std::string&)
    : std::exception(), _message(inner._message), _secondText(inner._secondText) {}

KrException::KrException(const std::string& message, const std::string& secondText)
    : _message(message), _secondText(secondText) {}

KrException::~KrException() = default;

const char* KrException::what() const noexcept { return _message.c_str(); }

KrException2T::KrException2T(const std::string& message, const std::string& textA,
                             const std::string& textB, unsigned int line, const std::string& tag)
    : KrException(message, line, tag), _text3(textA), _text4(textB) {}

KrException1I::KrException1I(const std::string& message, uint64_t value, unsigned int line,
                             const std::string& tag)
    : KrException(message, line, tag), _value(value) {}

KrException_SSL::KrException_SSL(const std::string& message, unsigned int line,
                                 const std::string& tag)
    : KrException("(SSL) " + message, line, tag) {}
