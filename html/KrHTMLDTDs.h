#pragma once
// The reader's five named grammars: "xml" (stored data, configuration),
// "html" (pages), "xmlhtml" (XML text whose elements take the HTML tag
// classes), "css" (style sheets) and "cssRule" (the inside of one rule).
// They live here, where the HTML and CSS classes their factories build are
// visible; the table is built once on first use and shared, read-only.

#include "document/KrDTD.h"
#include "document/KrDTDTable.h"

// The table holding all five grammars.
const KrDTDTable& KrHTMLDTDs();

// The builders behind the table, for readers that want their own copy.
KrDTD KrMakeHTMLDTD();
KrDTD KrMakeXMLHTMLDTD();
KrDTD KrMakeCSSDTD();
KrDTD KrMakeCSSRuleDTD();

// Reading back a script element takes the comment guards that its writer put
// around the code off once, so write, read and write again gives the same
// text; the code becomes the element's one code child.
void KrTakeOffScriptGuards(KrXMLComplexElement& script);
