// quivoone: serves the working directory; type "quit" (or press Ctrl-C) to stop.
#include "app/KrProgramMain.h"
#include "app/KrQuivoCLAppAddOn.h"

int main(int argc, char** argv) {
    return KrProgramMain<KrQuivoCLAppAddOn>("quivoone", argc, argv, 0);
}
