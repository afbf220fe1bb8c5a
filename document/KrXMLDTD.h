#pragma once
// The "xml" grammar: configuration files and stored data. Its five
// recognisers are also the base of the HTML grammars.

#include <string>

#include "document/KrDTD.h"

// Builds the "xml" grammar under `name`: comments, elements, processing
// instructions, text and whitespace, with the generic node factories;
// "xmlelement" opens a level.
KrDTD KrMakeXMLDTD(const std::string& name = "xml");
