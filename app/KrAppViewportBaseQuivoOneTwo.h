#pragma once
// The viewport both programs use: its CreateApp is where the system is
// configured. It fills the options map, reads "./quivoone.xml" (listen
// address and port, cgi-bin path), builds the one HTTP listener record,
// creates the application and prints the start banner.

#include <string>

#include "app/KrAppViewportBase.h"

class KrAppViewportBaseQuivoOneTwo : public KrAppViewportBase {
  public:
    // baseDirectory: the directory served over HTTP; empty serves the
    // working directory.
    KrAppViewportBaseQuivoOneTwo(std::string name1, std::string name2, std::string baseDirectory);
    ~KrAppViewportBaseQuivoOneTwo() override;

    void CreateApp(bool flag) override;

    // The listen port of a configured text: leading blanks skipped, digits
    // read up to the first other character ("8080abc" is 8080). Text without
    // leading digits and numbers outside 1-65535 throw KrException naming
    // the text, so that nothing starts listening on a port nobody asked for.
    static int ParsePort(const std::string& text);

  private:
    std::string baseDirectory;
};

// The viewport of the two programs ("XQuivoone", "quivoone"), serving the
// working directory; routes logger channel 4 to standard output.
KrAppViewportBase* CreateAppViewport(int argc, char** argv, int frontEnd);
