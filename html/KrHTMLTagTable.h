#pragma once
// The HTML tag table: the 115 factories that build a tag's class from its
// name and the 16 void tags, both generated from html/KrHTMLTagList.h, the
// same list that makes the classes, so table and classes cannot disagree.
// Built once on first use and never changed; every HTML grammar copies it.

#include <map>
#include <set>
#include <string>

#include "document/KrDTD.h"

class KrXMLGenericElement;

// Every tag of the table with its factory.
const std::map<std::string, KrHTMLElementFactory>& KrHTMLTagFactories();
// The void tags: no content, no end tag.
const std::set<std::string>& KrHTMLVoidTags();

// Adds the table's factories and void names to the grammar (an entry of the
// same name is replaced).
void KrDTD_HTML_fillelements(KrDTD& dtd);

// A new element for the tag: the tag's class when the grammar's table holds
// it, else a plain generic element named by the tag (newline flag true).
// Tag names are case-sensitive. Never null; the caller owns the result.
KrXMLGenericElement* KrDTD_HTML_createelement(const std::string& name, const KrDTD& dtd);
