#include "html/KrHTML_input2.h"

#include <cstdio>

namespace {

// "%f" text of any double, sized by a first measuring pass: 1e300 needs
// 308 characters, more than any fixed buffer one would pick for "a number".
std::string formatFixed(double value) {
    const int length = std::snprintf(nullptr, 0, "%f", value);
    if (length <= 0) {
        return std::string();
    }
    std::string text(static_cast<size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, "%f", value);
    return text;
}

}  // namespace

KrHTML_input2::KrHTML_input2()
    : KrHTML_BaseElement2("htmlbaseelement"), KrHTML_ElementType2("input") {
    RegisterAttribute("name", &_nameAttribute);
    RegisterAttribute("value", &_value);
    RegisterAttribute("type", &_type);
}

KrHTML_input2::~KrHTML_input2() = default;

void KrHTML_input2::_setUp(const std::string& id, bool idAlways, const std::string& value,
                           const std::string& type, const std::string& name) {
    if (idAlways || !id.empty()) {
        SetId(id);
    }
    _value.Set(value);
    _type.Set(type);
    _nameAttribute.Set(name);
}

KrHTML_input2_hidden::KrHTML_input2_hidden(const std::string& id, const std::string& value,
                                           const std::string& name)
    : KrHTML_BaseElement2("htmlbaseelement") {
    _setUp(id, false, value, "hidden", name);
}

KrHTML_input2_hidden::~KrHTML_input2_hidden() = default;

KrHTML_input2_text::KrHTML_input2_text(const std::string& id, const std::string& value,
                                       const std::string& name)
    : KrHTML_BaseElement2("htmlbaseelement") {
    _setUp(id, false, value, "text", name);
}

KrHTML_input2_text::~KrHTML_input2_text() = default;

KrHTML_input2_button::KrHTML_input2_button(const std::string& id, const std::string& value,
                                           const std::string& name)
    : KrHTML_BaseElement2("htmlbaseelement") {
    _setUp(id, false, value, "submit", name);
}

KrHTML_input2_button::~KrHTML_input2_button() = default;

KrHTML_input2_file::KrHTML_input2_file(const std::string& id, const std::string& value,
                                       const std::string& name, const std::string& accept)
    : KrHTML_BaseElement2("htmlbaseelement") {
    RegisterAttribute("accept", &_accept);
    _setUp(id, true, value, "file", name);
    _accept.Set(accept);
}

KrHTML_input2_file::~KrHTML_input2_file() = default;

KrHTML_input2_slider::KrHTML_input2_slider(const std::string& id, const std::string& name,
                                           double value, double min, double max)
    : KrHTML_BaseElement2("htmlbaseelement") {
    RegisterAttribute("min", &_min);
    RegisterAttribute("max", &_max);
    _setUp(id, false, formatFixed(value), "range", name);
    _min.Set(min);
    _max.Set(max);
}

KrHTML_input2_slider::~KrHTML_input2_slider() = default;
