#pragma once
// The find step of the page's find-or-create operations: the first generic
// element of a name below root, looking at the direct children first and
// only then deeper (pre-order), so finding the head or body of a built page
// costs a few comparisons instead of a walk over the whole tree.

#include <string>

#include "document/KrXMLGenericElement.h"

// root itself is not a candidate; null when there is no match.
KrXMLGenericElement* KrHTMLFindFirstByName(KrXMLComplexElement* root, const std::string& name);
