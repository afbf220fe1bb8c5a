#pragma once
// Every tag class of the tag list: the generated plain ones and the ones
// written by hand (html/<Class>.h). Include this to build any tag by class.

#include "html/KrHTMLPlainTags.h"
#include "html/KrHTMLTagList.h"
#include "html/KrHTML_a2.h"
#include "html/KrHTML_button2.h"
#include "html/KrHTML_div2.h"
#include "html/KrHTML_form2.h"
#include "html/KrHTML_html2.h"
#include "html/KrHTML_iframe2.h"
#include "html/KrHTML_img2.h"
#include "html/KrHTML_input2.h"
#include "html/KrHTML_label2.h"
#include "html/KrHTML_link2.h"
#include "html/KrHTML_meta2.h"
#include "html/KrHTML_option2.h"
#include "html/KrHTML_progress2.h"
#include "html/KrHTML_script2.h"
#include "html/KrHTML_select2.h"
#include "html/KrHTML_style2.h"
