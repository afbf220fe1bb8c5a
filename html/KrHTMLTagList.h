#pragma once
// The one list of HTML tag classes. Everything that depends on the set of tags
// is generated from it: the plain tag classes (KrHTMLTagClasses.h), the
// factories and the void-tag set of the reader's tag table, and the tests, so
// the class of a tag, its family, its mixins and its void flag cannot
// disagree between them.
//
// QUIVO_HTML_TAGS(X) calls X once per tag, in byte order of the tags:
//   X(tag, Class, Family, Mixins, IsVoid, Kind, InTagTable)
//   tag         the tag and element name, a string literal ("td")
//   Class       the class, KrHTML_ + tag + 2 (KrHTML_td2)
//   Family      KrHTML_ElementType0, KrHTML_ElementType1 or KrHTML_ElementType2
//   Mixins      NONE, A, AB or ABC: which of KrHTML_ElementType0A, 0B, 0C the
//               class adds after its family, always in that order
//   IsVoid      true exactly for the family KrHTML_ElementType2 (no content,
//               no end tag)
//   Kind        PLAIN: generated from this list, no members of its own;
//               OWN: written by hand in html/<Class>.h because it has members
//               or constructors with arguments
//   InTagTable  whether the reader's tag table builds this class for the tag;
//               only "figure" is left out, so it is read as a generic element
//
// Every class here, PLAIN or OWN, can be built without arguments, and that
// builds the element exactly as the tag table presets it. html/KrHTMLTagClasses.h
// declares all of them.
//
// The helpers below turn the Mixins column into code:
//   QUIVO_HTML_MIXIN_BASES(Mixins)      ", public KrHTML_ElementType0A, ..."
//   QUIVO_HTML_MIXIN_INITS(Mixins, tag) ", KrHTML_ElementType0A(tag), ..."
//   QUIVO_HTML_HAS_0A/0B/0C(Mixins)     true or false

#define QUIVO_HTML_TAGS(X)                                                             \
    X("a", KrHTML_a2, KrHTML_ElementType0, NONE, false, OWN, true)                     \
    X("abbr", KrHTML_abbr2, KrHTML_ElementType0, NONE, false, PLAIN, true)             \
    X("acronym", KrHTML_acronym2, KrHTML_ElementType0, NONE, false, PLAIN, true)       \
    X("address", KrHTML_address2, KrHTML_ElementType0, NONE, false, PLAIN, true)       \
    X("area", KrHTML_area2, KrHTML_ElementType2, NONE, true, PLAIN, true)              \
    X("article", KrHTML_article2, KrHTML_ElementType0, NONE, false, PLAIN, true)       \
    X("aside", KrHTML_aside2, KrHTML_ElementType0, NONE, false, PLAIN, true)           \
    X("audio", KrHTML_audio2, KrHTML_ElementType0, NONE, false, PLAIN, true)           \
    X("b", KrHTML_b2, KrHTML_ElementType0, NONE, false, PLAIN, true)                   \
    X("base", KrHTML_base2, KrHTML_ElementType2, NONE, true, PLAIN, true)              \
    X("bdi", KrHTML_bdi2, KrHTML_ElementType0, NONE, false, PLAIN, true)               \
    X("bdo", KrHTML_bdo2, KrHTML_ElementType0, NONE, false, PLAIN, true)               \
    X("big", KrHTML_big2, KrHTML_ElementType0, NONE, false, PLAIN, true)               \
    X("blockquote", KrHTML_blockquote2, KrHTML_ElementType0, NONE, false, PLAIN, true) \
    X("body", KrHTML_body2, KrHTML_ElementType0, ABC, false, PLAIN, true)              \
    X("br", KrHTML_br2, KrHTML_ElementType2, NONE, true, PLAIN, true)                  \
    X("button", KrHTML_button2, KrHTML_ElementType0, AB, false, OWN, true)             \
    X("canvas", KrHTML_canvas2, KrHTML_ElementType0, NONE, false, PLAIN, true)         \
    X("caption", KrHTML_caption2, KrHTML_ElementType0, NONE, false, PLAIN, true)       \
    X("cite", KrHTML_cite2, KrHTML_ElementType0, NONE, false, PLAIN, true)             \
    X("code", KrHTML_code2, KrHTML_ElementType0, NONE, false, PLAIN, true)             \
    X("col", KrHTML_col2, KrHTML_ElementType2, NONE, true, PLAIN, true)                \
    X("colgroup", KrHTML_colgroup2, KrHTML_ElementType1, NONE, false, PLAIN, true)     \
    X("datalist", KrHTML_datalist2, KrHTML_ElementType0, NONE, false, PLAIN, true)     \
    X("dd", KrHTML_dd2, KrHTML_ElementType1, NONE, false, PLAIN, true)                 \
    X("del", KrHTML_del2, KrHTML_ElementType0, NONE, false, PLAIN, true)               \
    X("details", KrHTML_details2, KrHTML_ElementType0, NONE, false, PLAIN, true)       \
    X("dfn", KrHTML_dfn2, KrHTML_ElementType0, NONE, false, PLAIN, true)               \
    X("dialog", KrHTML_dialog2, KrHTML_ElementType0, NONE, false, PLAIN, true)         \
    X("div", KrHTML_div2, KrHTML_ElementType0, ABC, false, OWN, true)                  \
    X("dl", KrHTML_dl2, KrHTML_ElementType0, NONE, false, PLAIN, true)                 \
    X("dt", KrHTML_dt2, KrHTML_ElementType1, NONE, false, PLAIN, true)                 \
    X("em", KrHTML_em2, KrHTML_ElementType0, NONE, false, PLAIN, true)                 \
    X("embed", KrHTML_embed2, KrHTML_ElementType2, NONE, true, PLAIN, true)            \
    X("fieldset", KrHTML_fieldset2, KrHTML_ElementType0, NONE, false, PLAIN, true)     \
    X("figcaption", KrHTML_figcaption2, KrHTML_ElementType0, NONE, false, PLAIN, true) \
    X("figure", KrHTML_figure2, KrHTML_ElementType0, NONE, false, PLAIN, false)        \
    X("footer", KrHTML_footer2, KrHTML_ElementType0, NONE, false, PLAIN, true)         \
    X("form", KrHTML_form2, KrHTML_ElementType0, AB, false, OWN, true)                 \
    X("frame", KrHTML_frame2, KrHTML_ElementType2, NONE, true, PLAIN, true)            \
    X("frameset", KrHTML_frameset2, KrHTML_ElementType0, NONE, false, PLAIN, true)     \
    X("h1", KrHTML_h12, KrHTML_ElementType0, NONE, false, PLAIN, true)                 \
    X("h2", KrHTML_h22, KrHTML_ElementType0, A, false, PLAIN, true)                    \
    X("h3", KrHTML_h32, KrHTML_ElementType0, NONE, false, PLAIN, true)                 \
    X("h4", KrHTML_h42, KrHTML_ElementType0, NONE, false, PLAIN, true)                 \
    X("h5", KrHTML_h52, KrHTML_ElementType0, NONE, false, PLAIN, true)                 \
    X("h6", KrHTML_h62, KrHTML_ElementType0, NONE, false, PLAIN, true)                 \
    X("head", KrHTML_head2, KrHTML_ElementType0, NONE, false, PLAIN, true)             \
    X("header", KrHTML_header2, KrHTML_ElementType0, NONE, false, PLAIN, true)         \
    X("hgroup", KrHTML_hgroup2, KrHTML_ElementType0, NONE, false, PLAIN, true)         \
    X("hr", KrHTML_hr2, KrHTML_ElementType2, NONE, true, PLAIN, true)                  \
    X("html", KrHTML_html2, KrHTML_ElementType0, NONE, false, OWN, true)               \
    X("i", KrHTML_i2, KrHTML_ElementType0, NONE, false, PLAIN, true)                   \
    X("iframe", KrHTML_iframe2, KrHTML_ElementType0, NONE, false, OWN, true)           \
    X("img", KrHTML_img2, KrHTML_ElementType2, NONE, true, OWN, true)                  \
    X("input", KrHTML_input2, KrHTML_ElementType2, NONE, true, OWN, true)              \
    X("ins", KrHTML_ins2, KrHTML_ElementType0, NONE, false, PLAIN, true)               \
    X("kbd", KrHTML_kbd2, KrHTML_ElementType0, NONE, false, PLAIN, true)               \
    X("keygen", KrHTML_keygen2, KrHTML_ElementType2, NONE, true, PLAIN, true)          \
    X("label", KrHTML_label2, KrHTML_ElementType0, A, false, OWN, true)                \
    X("legend", KrHTML_legend2, KrHTML_ElementType0, NONE, false, PLAIN, true)         \
    X("li", KrHTML_li2, KrHTML_ElementType1, NONE, false, PLAIN, true)                 \
    X("link", KrHTML_link2, KrHTML_ElementType2, NONE, true, OWN, true)                \
    X("main", KrHTML_main2, KrHTML_ElementType0, NONE, false, PLAIN, true)             \
    X("map", KrHTML_map2, KrHTML_ElementType0, NONE, false, PLAIN, true)               \
    X("mark", KrHTML_mark2, KrHTML_ElementType0, NONE, false, PLAIN, true)             \
    X("menu", KrHTML_menu2, KrHTML_ElementType0, NONE, false, PLAIN, true)             \
    X("menuitem", KrHTML_menuitem2, KrHTML_ElementType0, NONE, false, PLAIN, true)     \
    X("meta", KrHTML_meta2, KrHTML_ElementType2, NONE, true, OWN, true)                \
    X("meter", KrHTML_meter2, KrHTML_ElementType0, NONE, false, PLAIN, true)           \
    X("nav", KrHTML_nav2, KrHTML_ElementType0, NONE, false, PLAIN, true)               \
    X("noframes", KrHTML_noframes2, KrHTML_ElementType0, NONE, false, PLAIN, true)     \
    X("noscript", KrHTML_noscript2, KrHTML_ElementType0, NONE, false, PLAIN, true)     \
    X("object", KrHTML_object2, KrHTML_ElementType0, NONE, false, PLAIN, true)         \
    X("ol", KrHTML_ol2, KrHTML_ElementType0, NONE, false, PLAIN, true)                 \
    X("optgroup", KrHTML_optgroup2, KrHTML_ElementType0, NONE, false, PLAIN, true)     \
    X("option", KrHTML_option2, KrHTML_ElementType1, NONE, false, OWN, true)           \
    X("output", KrHTML_output2, KrHTML_ElementType0, NONE, false, PLAIN, true)         \
    X("p", KrHTML_p2, KrHTML_ElementType1, ABC, false, PLAIN, true)                    \
    X("param", KrHTML_param2, KrHTML_ElementType2, NONE, true, PLAIN, true)            \
    X("pre", KrHTML_pre2, KrHTML_ElementType0, NONE, false, PLAIN, true)               \
    X("progress", KrHTML_progress2, KrHTML_ElementType0, A, false, OWN, true)          \
    X("q", KrHTML_q2, KrHTML_ElementType0, NONE, false, PLAIN, true)                   \
    X("rp", KrHTML_rp2, KrHTML_ElementType0, NONE, false, PLAIN, true)                 \
    X("rt", KrHTML_rt2, KrHTML_ElementType0, NONE, false, PLAIN, true)                 \
    X("ruby", KrHTML_ruby2, KrHTML_ElementType0, NONE, false, PLAIN, true)             \
    X("s", KrHTML_s2, KrHTML_ElementType0, NONE, false, PLAIN, true)                   \
    X("samp", KrHTML_samp2, KrHTML_ElementType0, NONE, false, PLAIN, true)             \
    X("script", KrHTML_script2, KrHTML_ElementType0, NONE, false, OWN, true)           \
    X("section", KrHTML_section2, KrHTML_ElementType0, NONE, false, PLAIN, true)       \
    X("select", KrHTML_select2, KrHTML_ElementType0, NONE, false, OWN, true)           \
    X("small", KrHTML_small2, KrHTML_ElementType0, NONE, false, PLAIN, true)           \
    X("source", KrHTML_source2, KrHTML_ElementType2, NONE, true, PLAIN, true)          \
    X("span", KrHTML_span2, KrHTML_ElementType0, A, false, PLAIN, true)                \
    X("strong", KrHTML_strong2, KrHTML_ElementType0, NONE, false, PLAIN, true)         \
    X("style", KrHTML_style2, KrHTML_ElementType0, NONE, false, OWN, true)             \
    X("sub", KrHTML_sub2, KrHTML_ElementType0, NONE, false, PLAIN, true)               \
    X("summary", KrHTML_summary2, KrHTML_ElementType0, NONE, false, PLAIN, true)       \
    X("sup", KrHTML_sup2, KrHTML_ElementType0, NONE, false, PLAIN, true)               \
    X("table", KrHTML_table2, KrHTML_ElementType0, NONE, false, PLAIN, true)           \
    X("tbody", KrHTML_tbody2, KrHTML_ElementType0, NONE, false, PLAIN, true)           \
    X("td", KrHTML_td2, KrHTML_ElementType1, NONE, false, PLAIN, true)                 \
    X("textarea", KrHTML_textarea2, KrHTML_ElementType0, NONE, false, PLAIN, true)     \
    X("tfoot", KrHTML_tfoot2, KrHTML_ElementType1, NONE, false, PLAIN, true)           \
    X("th", KrHTML_th2, KrHTML_ElementType1, NONE, false, PLAIN, true)                 \
    X("thead", KrHTML_thead2, KrHTML_ElementType1, NONE, false, PLAIN, true)           \
    X("time", KrHTML_time2, KrHTML_ElementType0, NONE, false, PLAIN, true)             \
    X("title", KrHTML_title2, KrHTML_ElementType0, NONE, false, PLAIN, true)           \
    X("tr", KrHTML_tr2, KrHTML_ElementType1, NONE, false, PLAIN, true)                 \
    X("track", KrHTML_track2, KrHTML_ElementType2, NONE, true, PLAIN, true)            \
    X("tt", KrHTML_tt2, KrHTML_ElementType0, NONE, false, PLAIN, true)                 \
    X("u", KrHTML_u2, KrHTML_ElementType0, NONE, false, PLAIN, true)                   \
    X("ul", KrHTML_ul2, KrHTML_ElementType0, NONE, false, PLAIN, true)                 \
    X("var", KrHTML_var2, KrHTML_ElementType0, NONE, false, PLAIN, true)               \
    X("video", KrHTML_video2, KrHTML_ElementType0, NONE, false, PLAIN, true)           \
    X("wbr", KrHTML_wbr2, KrHTML_ElementType2, NONE, true, PLAIN, true)

#define QUIVO_HTML_MIXIN_BASES(mixins) QUIVO_HTML_MIXIN_BASES_##mixins
#define QUIVO_HTML_MIXIN_BASES_NONE
#define QUIVO_HTML_MIXIN_BASES_A , public KrHTML_ElementType0A
#define QUIVO_HTML_MIXIN_BASES_AB , public KrHTML_ElementType0A, public KrHTML_ElementType0B
#define QUIVO_HTML_MIXIN_BASES_ABC \
    , public KrHTML_ElementType0A, public KrHTML_ElementType0B, public KrHTML_ElementType0C

#define QUIVO_HTML_MIXIN_INITS(mixins, tag) QUIVO_HTML_MIXIN_INITS_##mixins(tag)
#define QUIVO_HTML_MIXIN_INITS_NONE(tag)
#define QUIVO_HTML_MIXIN_INITS_A(tag) , KrHTML_ElementType0A(tag)
#define QUIVO_HTML_MIXIN_INITS_AB(tag) , KrHTML_ElementType0A(tag), KrHTML_ElementType0B(tag)
#define QUIVO_HTML_MIXIN_INITS_ABC(tag) \
    , KrHTML_ElementType0A(tag), KrHTML_ElementType0B(tag), KrHTML_ElementType0C(tag)

#define QUIVO_HTML_HAS_0A(mixins) QUIVO_HTML_HAS_0A_##mixins
#define QUIVO_HTML_HAS_0A_NONE false
#define QUIVO_HTML_HAS_0A_A true
#define QUIVO_HTML_HAS_0A_AB true
#define QUIVO_HTML_HAS_0A_ABC true
#define QUIVO_HTML_HAS_0B(mixins) QUIVO_HTML_HAS_0B_##mixins
#define QUIVO_HTML_HAS_0B_NONE false
#define QUIVO_HTML_HAS_0B_A false
#define QUIVO_HTML_HAS_0B_AB true
#define QUIVO_HTML_HAS_0B_ABC true
#define QUIVO_HTML_HAS_0C(mixins) QUIVO_HTML_HAS_0C_##mixins
#define QUIVO_HTML_HAS_0C_NONE false
#define QUIVO_HTML_HAS_0C_A false
#define QUIVO_HTML_HAS_0C_AB false
#define QUIVO_HTML_HAS_0C_ABC true
