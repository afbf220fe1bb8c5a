#pragma once
// A complete small page for a child frame: when loaded, its one script clicks
// the "quivoreloadbutton" of the parent page, which posts the parent's
// KrHTMLReloadPost form. Complete after construction; its owner deletes it.

#include "html/KrHTML_Document2.h"

class KrHTMLReloadPostFromChild : public KrHTML_Document2 {
  public:
    KrHTMLReloadPostFromChild();
    ~KrHTMLReloadPostFromChild() override;
};
