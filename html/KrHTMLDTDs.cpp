#include "html/KrHTMLDTDs.h"

#include <memory>
#include <sstream>
#include <string>

#include "document/KrDTDElementReadCSS.h"
#include "document/KrDTDElementReadXML.h"
#include "document/KrXMLDTD.h"
#include "document/KrXMLGenericText.h"
#include "document/KrXMLGenericWhitespace.h"
#include "document/KrXML_Comment2.h"
#include "html/KrCSSHTMLComment.h"
#include "html/KrCSSMediaQuery.h"
#include "html/KrCSSProperty.h"
#include "html/KrCSSRule.h"
#include "html/KrHTMLTagTable.h"
#include "html/KrHTML_Doctype2.h"
#include "html/KrHTML_text2.h"
#include "html/KrJavaScriptHandler.h"

namespace {

template <class Node>
KrDTD::Factory WithText() {
    return [](const std::string& text, const KrDTD&) -> KrXMLComplexElement* {
        return new Node(text);
    };
}

KrDTD::Factory Whitespace(bool keepText) {
    return [keepText](const std::string& text, const KrDTD&) -> KrXMLComplexElement* {
        return new KrXMLGenericWhitespace(keepText ? text : std::string());
    };
}

KrXMLComplexElement* CreateTag(const std::string& text, const KrDTD& dtd) {
    return KrDTD_HTML_createelement(text, dtd);
}

void MakeHTMLReading(KrDTD& dtd) {
    KrDTD_HTML_fillelements(dtd);
    dtd.AddFactory("xmlelement", CreateTag);
    dtd.SetParsedHook("script", KrTakeOffScriptGuards);
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

void KrTakeOffScriptGuards(KrXMLComplexElement& script) {
    const auto& children = script.GetChildren();
    if (children.empty()) {
        return;
    }
    const KrXML_Comment2* guard = nullptr;
    bool guardOnly = true;
    bool whitespaceOnly = true;
    for (const KrXMLComplexElement* child : children) {
        if (dynamic_cast<const KrXMLGenericWhitespace*>(child) != nullptr) {
            continue;
        }
        whitespaceOnly = false;
        const auto* comment = dynamic_cast<const KrXML_Comment2*>(child);
        if (comment != nullptr && guard == nullptr) {
            guard = comment;
        } else {
            guardOnly = false;
        }
    }
    std::string code;
    if (guardOnly && guard != nullptr) {
        // The writer puts "\n<!--\n" after the start tag, a line feed before
        // a code child, and "\n//-->\n" before the end tag.
        code = guard->GetText();
        if (StartsWith(code, "\n")) {
            code.erase(0, 1);
        }
        if (EndsWith(code, "//")) {
            code.erase(code.size() - 2);
            if (EndsWith(code, "\n")) {
                code.erase(code.size() - 1);
            }
        }
        if (StartsWith(code, "\n")) {
            code.erase(0, 1);
        }
    } else if (!whitespaceOnly) {
        // Code written without guards stays exactly as written.
        std::ostringstream out;
        for (KrXMLComplexElement* child : children) {
            child->Write(out);
        }
        code = out.str();
    }
    script.DeleteAllChildren();
    if (!code.empty()) {
        script.AddChild(new KrJavaScriptHandler(code, false));
    }
}

KrDTD KrMakeHTMLDTD() {
    KrDTD dtd = KrMakeXMLDTD("html");
    dtd.AddRead(new KrDTDElementRead_Doctype());
    dtd.AddFactory("htmldoctype", WithText<KrHTML_Doctype2>());
    dtd.AddFactory("xmltext", WithText<KrHTML_text2>());
    MakeHTMLReading(dtd);
    return dtd;
}

KrDTD KrMakeXMLHTMLDTD() {
    KrDTD dtd = KrMakeXMLDTD("xmlhtml");
    MakeHTMLReading(dtd);
    return dtd;
}

KrDTD KrMakeCSSDTD() {
    KrDTD dtd("css");
    dtd.AddRead(new KrDTDElementRead_WhitespaceCSS());
    dtd.AddRead(new KrDTDElementRead_WhitespaceCSSHTMLComment());
    dtd.AddRead(new KrDTDElementRead_WhitespaceCSSHTMLCommentCloser());
    dtd.AddRead(new KrDTDElementRead_CloserCSS());
    dtd.AddRead(new KrDTDElementRead_CommentCSS());
    dtd.AddRead(new KrDTDElementRead_AtStatementCSS());
    dtd.AddRead(new KrDTDElementRead_MediaQueryCSS());
    dtd.AddRead(new KrDTDElementRead_RuleCSS());
    dtd.AddRead(new KrDTDElementRead_PropertyCSS());
    dtd.AddRead(new KrDTDElementRead_Element());
    dtd.AddFactory("css_a_whitespace", Whitespace(true));
    // The wrapper's content is held as text, not read as rules.
    dtd.AddFactory("css_aa_whitespace", [](const std::string& text, const KrDTD&) {
        auto wrapper = std::make_unique<KrCSSHTMLComment>();
        if (!text.empty()) {
            wrapper->AddChild(new KrXMLGenericText(text));
        }
        return static_cast<KrXMLComplexElement*>(wrapper.release());
    });
    dtd.AddFactory("css_aaa_whitespace", Whitespace(false));
    dtd.AddFactory("css_b_closer", Whitespace(true));
    dtd.AddFactory("css_c_comment", WithText<KrXMLGenericText>());
    // A statement at-rule (@charset, @import) is kept exactly as written.
    dtd.AddFactory("css_d_atstatement", WithText<KrXMLGenericText>());
    dtd.AddFactory("css_d_mediaquery", WithText<KrCSSMediaQuery>());
    dtd.AddFactory("css_e_rule", WithText<KrCSSRule>());
    dtd.AddFactory("css_f_property", [](const std::string& text, const KrDTD&) {
        return static_cast<KrXMLComplexElement*>(new KrCSSProperty(text, false));
    });
    dtd.AddFactory("xmlelement", CreateTag);
    dtd.AddLevel("css_d_mediaquery");
    dtd.AddLevel("css_e_rule");
    return dtd;
}

KrDTD KrMakeCSSRuleDTD() {
    KrDTD dtd("cssRule");
    dtd.AddRead(new KrDTDElementRead_WhitespaceCSS());
    dtd.AddRead(new KrDTDElementRead_CloserCSS());
    dtd.AddRead(new KrDTDElementRead_CommentCSS());
    dtd.AddRead(new KrDTDElementRead_PropertyCSS());
    dtd.AddFactory("css_a_whitespace", Whitespace(true));
    dtd.AddFactory("css_b_closer", Whitespace(true));
    dtd.AddFactory("css_c_comment", WithText<KrXMLGenericText>());
    dtd.AddFactory("css_f_property", [](const std::string& text, const KrDTD&) {
        return static_cast<KrXMLComplexElement*>(new KrCSSProperty(text, false));
    });
    return dtd;
}

const KrDTDTable& KrHTMLDTDs() {
    // Built on first use (thread-safe), never changed afterwards.
    static const KrDTDTable table = [] {
        KrDTDTable built;
        built.Add(KrMakeXMLDTD("xml"));
        built.Add(KrMakeHTMLDTD());
        built.Add(KrMakeXMLHTMLDTD());
        built.Add(KrMakeCSSDTD());
        built.Add(KrMakeCSSRuleDTD());
        return built;
    }();
    return table;
}
