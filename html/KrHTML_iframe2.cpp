#include "html/KrHTML_iframe2.h"

#include "html/KrHTML_text2.h"

KrHTML_iframe2::KrHTML_iframe2(const std::string& src, const std::string& width,
                               const std::string& height, const std::string& text)
    : KrHTML_BaseElement2("htmlbaseelement"), KrHTML_ElementType0("iframe") {
    RegisterAttribute("src", &_src);
    RegisterAttribute("width", &_width);
    RegisterAttribute("height", &_height);
    if (!src.empty()) {
        _src.Set(src);
    }
    if (!width.empty()) {
        _width.Set(width);
    }
    if (!height.empty()) {
        _height.Set(height);
    }
    AddChild(new KrHTML_text2(text));
}

KrHTML_iframe2::~KrHTML_iframe2() = default;
