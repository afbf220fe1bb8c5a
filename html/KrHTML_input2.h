#pragma once
// The input element and its kinds. Every input is void (written closed by
// " />", refuses children); its kind is only its "type" attribute. "value"
// and "name" are always set by the kinds' constructors, so an empty one is
// written empty; "id" is set only when non-empty, except for file inputs
// (and blob inputs, see KrHTML_input2_blob.h).

#include <string>

#include "document/KrXMLNumericKrAttributes.h"
#include "document/KrXMLStringKrAttribute.h"
#include "html/KrHTML_ElementType2.h"

class KrHTML_input2 : public KrHTML_ElementType2 {
  public:
    // "name", "value" and "type" registered, unset.
    KrHTML_input2();
    ~KrHTML_input2() override;

  protected:
    // For the kinds: sets "id" (when non-empty, or always with idAlways),
    // "value", "type" and "name".
    void _setUp(const std::string& id, bool idAlways, const std::string& value,
                const std::string& type, const std::string& name);

    KrXMLStringKrAttribute _nameAttribute;
    KrXMLStringKrAttribute _value;
    KrXMLStringKrAttribute _type;
};

// type "hidden".
class KrHTML_input2_hidden : public KrHTML_input2 {
  public:
    KrHTML_input2_hidden(const std::string& id, const std::string& value, const std::string& name);
    ~KrHTML_input2_hidden() override;
};

// type "text".
class KrHTML_input2_text : public KrHTML_input2 {
  public:
    KrHTML_input2_text(const std::string& id, const std::string& value, const std::string& name);
    ~KrHTML_input2_text() override;
};

// type "submit".
class KrHTML_input2_button : public KrHTML_input2 {
  public:
    KrHTML_input2_button(const std::string& id, const std::string& value, const std::string& name);
    ~KrHTML_input2_button() override;
};

// type "file"; "id" and "accept" are always set.
class KrHTML_input2_file : public KrHTML_input2 {
  public:
    KrHTML_input2_file(const std::string& id, const std::string& value, const std::string& name,
                       const std::string& accept);
    ~KrHTML_input2_file() override;

  protected:
    KrXMLStringKrAttribute _accept;
};

// type "range". "value" holds the value as "%f" text (50 gives 50.000000);
// "min" and "max" are doubles.
class KrHTML_input2_slider : public KrHTML_input2 {
  public:
    KrHTML_input2_slider(const std::string& id, const std::string& name, double value, double min,
                         double max);
    ~KrHTML_input2_slider() override;

  protected:
    KrXMLDoubleKrAttribute _min;
    KrXMLDoubleKrAttribute _max;
};
