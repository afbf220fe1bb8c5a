#pragma once
// A labelled progress bar: a label and a progress element tied together by a
// generated id ("KrProgress_1", "KrProgress_2", ... in order of construction,
// never reused within a run). It is not an element: call Write where the
// widget belongs in the page. Owns its two elements.

#include <iosfwd>
#include <string>

#include "html/KrHTML_label2.h"
#include "html/KrHTML_progress2.h"

class KrProgress {
  public:
    // No label text gives a label element without children.
    KrProgress(const std::string& label, double max, double value);
    virtual ~KrProgress();

    KrProgress(const KrProgress&) = delete;
    KrProgress& operator=(const KrProgress&) = delete;

    // The label, then the progress element, with nothing around or between.
    virtual void Write(std::ostream& out);

  private:
    KrHTML_progress2 _progress;
    KrHTML_label2 _label;
};
