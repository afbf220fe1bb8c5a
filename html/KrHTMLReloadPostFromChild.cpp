#include "html/KrHTMLReloadPostFromChild.h"

#include "html/KrHTML_script2.h"

KrHTMLReloadPostFromChild::KrHTMLReloadPostFromChild() {
    AddToBody(
        new KrHTML_script2("", "parent.document.getElementById('quivoreloadbutton').click();"));
}

KrHTMLReloadPostFromChild::~KrHTMLReloadPostFromChild() = default;
