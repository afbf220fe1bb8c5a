#include "html/KrHTMLPlainTags.h"

#define QUIVO_HTML_DEFINE_TAG(tag, cls, family, mixins, isVoid, kind, inTable) \
    QUIVO_HTML_DEFINE_##kind(tag, cls, family, mixins)
#define QUIVO_HTML_DEFINE_OWN(tag, cls, family, mixins)
#define QUIVO_HTML_DEFINE_PLAIN(tag, cls, family, mixins)    \
    cls::cls()                                               \
        : KrHTML_BaseElement2("htmlbaseelement"),            \
          family(tag) QUIVO_HTML_MIXIN_INITS(mixins, tag) {} \
    cls::~cls() = default;

QUIVO_HTML_TAGS(QUIVO_HTML_DEFINE_TAG)
