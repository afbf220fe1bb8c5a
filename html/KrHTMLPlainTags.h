#pragma once
// The tag classes that add nothing but their tag, generated from the tag list.
// Each is built in the order its bases name: the shared element part (named
// "htmlbaseelement" until the family names it), the family, the mixins.

#include "html/KrHTMLTagList.h"
#include "html/KrHTML_ElementType0.h"
#include "html/KrHTML_ElementType0A.h"
#include "html/KrHTML_ElementType0B.h"
#include "html/KrHTML_ElementType0C.h"
#include "html/KrHTML_ElementType1.h"
#include "html/KrHTML_ElementType2.h"

#define QUIVO_HTML_DECLARE_TAG(tag, cls, family, mixins, isVoid, kind, inTable) \
    QUIVO_HTML_DECLARE_##kind(cls, family, mixins)
#define QUIVO_HTML_DECLARE_OWN(cls, family, mixins)
#define QUIVO_HTML_DECLARE_PLAIN(cls, family, mixins)          \
    class cls : public family QUIVO_HTML_MIXIN_BASES(mixins) { \
      public:                                                  \
        cls();                                                 \
        ~cls() override;                                       \
    };

QUIVO_HTML_TAGS(QUIVO_HTML_DECLARE_TAG)

#undef QUIVO_HTML_DECLARE_TAG
#undef QUIVO_HTML_DECLARE_OWN
#undef QUIVO_HTML_DECLARE_PLAIN
