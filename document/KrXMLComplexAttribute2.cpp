#include "document/KrXMLComplexAttribute2.h"

#include <streambuf>

namespace {

// Appends everything written to it to one string; lets AppendTo reuse an
// attribute's Write without a string stream and its extra copy.
class AppendBuf : public std::streambuf {
  public:
    explicit AppendBuf(std::string& target) : _target(target) {}

  protected:
    int_type overflow(int_type ch) override {
        if (!traits_type::eq_int_type(ch, traits_type::eof())) {
            _target.push_back(traits_type::to_char_type(ch));
        }
        return traits_type::not_eof(ch);
    }
    std::streamsize xsputn(const char* data, std::streamsize count) override {
        _target.append(data, static_cast<size_t>(count));
        return count;
    }

  private:
    std::string& _target;
};

}  // namespace

KrXMLComplexAttribute2::~KrXMLComplexAttribute2() = default;

bool KrXMLComplexAttribute2::IsSet() {
    return true;
}

void KrXMLComplexAttribute2::Write(std::ostream& /*out*/) {}

void KrXMLComplexAttribute2::SetFromString(const std::string& /*text*/) {}

void KrXMLComplexAttribute2::SetFromCString(const char* /*text*/) {}

void KrXMLComplexAttribute2::AppendTo(std::string& out) {
    AppendBuf buffer(out);
    std::ostream stream(&buffer);
    Write(stream);
}

KrXMLComplexAttributeProxy2::~KrXMLComplexAttributeProxy2() = default;

bool KrXMLComplexAttributeProxy2::IsSet() {
    return _target->IsSet();
}

void KrXMLComplexAttributeProxy2::Write(std::ostream& out) {
    _target->Write(out);
}

void KrXMLComplexAttributeProxy2::SetFromString(const std::string& text) {
    _target->SetFromString(text);
}

void KrXMLComplexAttributeProxy2::SetFromCString(const char* text) {
    _target->SetFromCString(text);
}

void KrXMLComplexAttributeProxy2::AppendTo(std::string& out) {
    _target->AppendTo(out);
}

KrXMLGenericAttribute::~KrXMLGenericAttribute() = default;

bool KrXMLGenericAttribute::IsSet() {
    return true;
}

void KrXMLGenericAttribute::Write(std::ostream& out) {
    out.write(_value.data(), static_cast<std::streamsize>(_value.size()));
}

void KrXMLGenericAttribute::SetFromString(const std::string& text) {
    _value = text;
}

void KrXMLGenericAttribute::SetFromCString(const char* text) {
    if (text == nullptr) {
        _value.clear();
    } else {
        _value = text;
    }
}

void KrXMLGenericAttribute::AppendTo(std::string& out) {
    out += _value;
}
