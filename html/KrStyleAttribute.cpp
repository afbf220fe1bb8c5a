#include "html/KrStyleAttribute.h"

#include <ostream>

#include "foundation/KrException.h"
#include "foundation/KrStringUtils.h"

namespace {

const char* const kSpace = " \t\r\n\f";

// Characters that cannot stand in a property name without breaking the
// declaration list or the attribute around it.
bool _isValidName(const std::string& name) {
    return !name.empty() && name.find_first_of(":;\"'<>{}") == std::string::npos;
}

}  // namespace

KrStyleAttribute::KrStyleAttribute() = default;

KrStyleAttribute::~KrStyleAttribute() = default;

KrStyleAttribute::PropertyMap& KrStyleAttribute::_propertyMap() {
    if (!_properties) {
        _properties = std::make_unique<PropertyMap>();
    }
    return *_properties;
}

bool KrStyleAttribute::IsSet() {
    return _properties && !_properties->empty();
}

void KrStyleAttribute::Write(std::ostream& out) {
    if (!_properties) {
        return;
    }
    for (const auto& [name, property] : *_properties) {
        if (property != nullptr && !property->IsEmpty()) {
            property->Write(out);
        }
    }
}

void KrStyleAttribute::AppendTo(std::string& out) {
    if (!_properties) {
        return;
    }
    for (const auto& [name, property] : *_properties) {
        if (property != nullptr && !property->IsEmpty()) {
            out += property->GetName();
            out += ": ";
            out += property->GetValue();
            out += ';';
        }
    }
}

void KrStyleAttribute::SetFromString(const std::string& text) {
    // A ";" or ":" inside parentheses or quotes belongs to the value
    // (url(data:image/png;base64,...), content: "a;b"), so declarations are
    // cut only at a ";" outside both, and each at its first ":".
    const auto addDeclaration = [&](size_t begin, size_t end) {
        const std::string item = Trim(text.substr(begin, end - begin), kSpace);
        if (item.empty()) {
            return;
        }
        const size_t colon = item.find(':');
        const std::string value =
            colon == std::string::npos ? std::string() : Trim(item.substr(colon + 1), kSpace);
        if (value.empty()) {
            throw KrException("style syntax wrong at: >" + text + "< ", __LINE__, "src");
        }
        auto property = std::make_shared<KrCSSProperty>(
            Trim(item.substr(0, colon), kSpace) + ":" + value, false);
        const std::string& name = property->GetName();
        _propertyMap()[name] = std::move(property);
    };

    const char* const data = text.data();
    const char* const end = data + text.size();
    size_t start = 0;
    while (const char* semicolon = FindOutsideQuotes(data + start, end, ";")) {
        addDeclaration(start, static_cast<size_t>(semicolon - data));
        start = static_cast<size_t>(semicolon - data) + 1;
    }
    addDeclaration(start, text.size());
}

void KrStyleAttribute::SetFromCString(const char* text) {
    if (text == nullptr || *text == '\0') {
        return;
    }
    SetFromString(text);
}

void KrStyleAttribute::SetStyle(const std::string& text) {
    SetFromString(text);
}

KrCSSProperty* KrStyleAttribute::SetProperty(const std::string& name) {
    // Keyed by the trimmed name, as SetFromString keys, so " color" and
    // "color" are one property and never written twice. A refused name leaves
    // no entry behind (an empty entry would still write style="").
    const std::string key = Trim(name, " ;\n\t\r");
    if (key.empty()) {
        throw KrException("CSS property must have a name", __LINE__, "src");
    }
    if (!_isValidName(key)) {
        throw KrException("CSS property name not valid: >" + name + "<", __LINE__, "src");
    }
    if (_properties) {
        auto found = _properties->find(key);
        if (found != _properties->end() && found->second != nullptr) {
            return found->second.get();
        }
    }
    auto property = std::make_shared<KrCSSProperty>(key, true);
    KrCSSProperty* result = property.get();
    _propertyMap()[key] = std::move(property);
    return result;
}
