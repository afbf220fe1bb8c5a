#include "html/KrCSSProperty.h"

#include <ostream>

#include "foundation/KrException.h"
#include "foundation/KrStringUtils.h"

namespace {
const char* const kValueTrim = " ;\n\t\r";
}  // namespace

KrCSSProperty::KrCSSProperty(const std::string& text, bool nameOnly)
    : KrXMLComplexElement("cssproperty", false, true) {
    if (nameOnly) {
        if (text.empty()) {
            throw KrException("CSS property must have a name", __LINE__, "src");
        }
        _name = Trim(text, kValueTrim);
        return;
    }
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        throw KrException("CSS property not well formed (missing ':').", __LINE__, "src");
    }
    _name = Trim(text.substr(0, colon), " ");
    _value = Trim(text.substr(colon + 1), kValueTrim);
}

KrCSSProperty::~KrCSSProperty() = default;

void KrCSSProperty::OnChildAdded(KrXMLComplexElement*) {
    throw KrException("no childs possible", __LINE__, "src");
}

void KrCSSProperty::Write(std::ostream& out) {
    if (_value.empty()) {
        return;
    }
    BeforeWrite(out);
    out << _name << ": " << _value << ';';
}

const std::string& KrCSSProperty::GetName() {
    return _name;
}

bool KrCSSProperty::IsEmpty() {
    return _value.empty();
}

void KrCSSProperty::SetValue(const std::string& value) {
    _value = value;
}
