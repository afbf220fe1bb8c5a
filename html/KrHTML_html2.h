#pragma once
// The html element of a page: finds or creates its head and body.
// Owns them like any child; the pointers handed out stay owned by the tree.

#include <string>

#include "html/KrHTML_ElementType0.h"

class KrHTML_head2;
class KrHTML_body2;

class KrHTML_html2 : public KrHTML_ElementType0 {
  public:
    KrHTML_html2();
    ~KrHTML_html2() override;

    // The first element named "head" (direct children first, then deeper);
    // none: a new head is put in front of all children. Throws KrException
    // when the element of that name is not a head element of this library.
    KrHTML_head2* Head();
    // As Head for "body"; a new body goes after all children.
    KrHTML_body2* Body();
    // Sets "lang" here, "content" of meta elements whose http-equiv is
    // "language" and "lang" of meta elements whose name is "description".
    void SetLanguage(const std::string& lang);
};
