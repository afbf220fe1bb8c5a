#include "html/KrHTML_script2.h"

#include "html/KrJavaScriptHandler.h"

KrHTML_script2::KrHTML_script2()
    : KrHTML_BaseElement2("htmlbaseelement"), KrHTML_ElementType0("script") {
    _registerMembers();
}

KrHTML_script2::KrHTML_script2(const std::string& src, const std::string& code)
    : KrHTML_BaseElement2("htmlbaseelement"), KrHTML_ElementType0("script") {
    _registerMembers();
    if (!src.empty()) {
        _src.Set(src);
    }
    if (!code.empty()) {
        AddChild(new KrJavaScriptHandler(code, false));
    }
}

KrHTML_script2::~KrHTML_script2() = default;

void KrHTML_script2::AfterOpenTag(std::ostream& out) {
    out << "\n<!--\n";
}

void KrHTML_script2::BeforeCloseTag(std::ostream& out) {
    out << "\n//-->\n";
}

void KrHTML_script2::_registerMembers() {
    RegisterAttribute("src", &_src);
    RegisterAttribute("type", &_type);
    _type.Set("text/javascript");
}
