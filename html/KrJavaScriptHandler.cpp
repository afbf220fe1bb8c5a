#include "html/KrJavaScriptHandler.h"

#include <ostream>
#include <string_view>

namespace {

// Code that already brings its own script element is stored as it is; only
// its start is looked at, so a "<script" deep inside a string is not taken
// for one.
bool _startsWithScriptElement(const std::string& code) {
    static constexpr size_t kLookAhead = 50;
    return std::string_view(code).substr(0, kLookAhead).find("<script") != std::string_view::npos;
}

}  // namespace

KrJavaScriptHandler::KrJavaScriptHandler(const std::string& code, bool wrap)
    : KrXMLGenericElement("JavaScript", true) {
    if (wrap && !_startsWithScriptElement(code)) {
        _text.reserve(code.size() + 40);
        _text += "<script>\n<!--\n";
        _text += code;
        _text += "\n//-->\n</script>";
    } else {
        _text = code;
    }
}

KrJavaScriptHandler::~KrJavaScriptHandler() = default;

void KrJavaScriptHandler::Write(std::ostream& out) {
    out << _text;
}

void KrJavaScriptHandler::SetText(const std::string& text) {
    _text = text;
}
