#include "html/KrHTML_img2.h"

KrHTML_img2::KrHTML_img2(const std::string& src, const std::string& alt, const std::string& title)
    : KrHTML_BaseElement2("htmlbaseelement"), KrHTML_ElementType2("img") {
    RegisterAttribute("src", &_src);
    RegisterAttribute("alt", &_alt);
    RegisterAttribute("title", &_title);
    if (!src.empty()) {
        _src.Set(src);
    }
    if (!alt.empty()) {
        _alt.Set(alt);
    }
    if (!title.empty()) {
        _title.Set(title);
    }
}

KrHTML_img2::~KrHTML_img2() = default;
