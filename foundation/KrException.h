#pragma once
// The system's one error type. Every error the framework raises is a
// KrException carrying a message a user can act on; the three subtypes are
// for applications built on the framework and carry extra texts or a number.
// The source line and tag given to the constructors are accepted and dropped.

#include <cstdint>
#include <exception>
#include <string>

class KrException : public std::exception {
public:
    KrException(const std::string& message, unsigned int line, const std::string& tag);
    // Re-raises a caught error from another place: copies both texts.
    KrException(const KrException& inner, unsigned int line, const std::string& tag);
    KrException(const std::string& message, const std::string& secondText);
    ~KrException() override;

    const char* what() const noexcept override;
    std::string& secondText() { return _secondText; }

private:
    std::string _message;
    std::string _secondText;
};

class KrException2T : public KrException {
public:
    KrException2T(const std::string& message, const std::string& textA, const std::string& textB,
                  unsigned int line, const std::string& tag);
    std::string& textA() { return _text3; }
    std::string& textB() { return _text4; }

private:
    std::string _text1, _text2, _text3, _text4;
};

class KrException1I : public KrException {
public:
    KrException1I(const std::string& message, uint64_t value, unsigned int line,
                  const std::string& tag);
    uint64_t& value() { return _value; }

private:
    std::string _text1, _text2;
    uint64_t _value;
};

// Its message is the given one prefixed with "(SSL) ".
class KrException_SSL : public KrException {
public:
    KrException_SSL(const std::string& message, unsigned int line, const std::string& tag);
};
