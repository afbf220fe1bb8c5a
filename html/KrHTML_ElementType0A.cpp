#include "html/KrHTML_ElementType0A.h"

#include "foundation/KrException.h"
#include "html/KrHTML_text2.h"

KrHTML_ElementType0A::KrHTML_ElementType0A(const std::string &tag)
    : KrHTML_BaseElement2(tag) {
  SetName(tag);
}

KrHTML_ElementType0A::~KrHTML_ElementType0A() = default;

KrHTML_text2 *KrHTML_ElementType0A::AddText(const std::string &text) {
  // AddChild refuses an empty element before it takes the child over; asking
  // first keeps the new node from being lost. A refusal after that (a
  // child hook) deletes the node inside AddChild.
  if (IsEmptyElement()) {
    throw KrException("child elements not allowed for " + GetName(), __LINE__,
                      "src");
  }
  return dynamic_cast<KrHTML_text2 *>(AddChild(new KrHTML_text2(text)));
}
