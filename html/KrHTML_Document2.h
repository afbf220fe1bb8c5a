#pragma once
// One HTML page: a doctype node and one html element holding head and body,
// found or created on demand. Written as its children only, so ToHTMLString
// gives the whole page. Owns its tree; every pointer it hands out stays owned
// by the tree.

#include <string>

#include "html/KrHTML_BaseElement2.h"

class KrHTML_html2;
class KrHTML_div2;
class KrHTML_p2;
class KrHTML_pre2;
class KrHTML_h22;
class KrHTML_h32;
class KrHTML_hr2;
class KrHTML_script2;

class KrHTML_Document2 : public KrHTML_BaseElement2 {
  public:
    // Bare: no children at all, for pages that fill their head themselves.
    // The flag is not used.
    explicit KrHTML_Document2(bool bare);
    // A head with the meta element charset="utf-8".
    KrHTML_Document2();
    // As the page constructor, then a title element holding title (unescaped).
    explicit KrHTML_Document2(const std::string& title);
    // Keeps a string literal from choosing the bool constructor.
    explicit KrHTML_Document2(const char* title);
    ~KrHTML_Document2() override;

    // Finds or creates the doctype and the html element. Throws KrException
    // when the element named "html" is not an html element of this library.
    KrHTML_html2* Html();

    // Hand element over to the head or body (created when missing) and
    // return it; null gives null. When the head or body cannot be had, or
    // the element is refused, element is freed and the error passes on.
    KrXMLGenericElement* AddToHead(KrXMLComplexElement* element);
    KrXMLGenericElement* AddToBody(KrXMLComplexElement* element);

    KrHTML_pre2* AddPre();
    KrHTML_h22* AddH2();
    KrHTML_h32* AddH3();
    KrHTML_hr2* AddHr();
    // A script with "src" when non-empty and code when non-empty.
    KrHTML_script2* AddScript(const std::string& src, const std::string& code);
    // A division, not draggable, "id" when non-empty.
    KrHTML_div2* AddDiv(const std::string& id);
    KrHTML_p2* AddP();

    // BeforeWrite, then each child's Write with nothing between them.
    void Write(std::ostream& out) override;
};
