#pragma once
// The division: a container for text and widgets. A draggable division calls
// "quivo_start_drag(this);" on mouse down; the page has to define that
// function.

#include <string>

#include "document/KrXMLStringKrAttribute.h"
#include "html/KrHTML_ElementType0.h"
#include "html/KrHTML_ElementType0A.h"
#include "html/KrHTML_ElementType0B.h"
#include "html/KrHTML_ElementType0C.h"

class KrHTML_div2 : public KrHTML_ElementType0,
                    public KrHTML_ElementType0A,
                    public KrHTML_ElementType0B,
                    public KrHTML_ElementType0C {
  public:
    // As the tag table builds it: no id, not draggable.
    KrHTML_div2();
    // "id" is set only when non-empty.
    KrHTML_div2(const std::string& id, bool draggable);
    ~KrHTML_div2() override;

  protected:
    KrXMLStringKrAttribute _onmousedown;
};
