// XQuivoone: serves the working directory; press 'q' in its window (or close
// it, or press Ctrl-C) to stop.
#include "app/KrProgramMain.h"
#include "programs/KrQuivoXAppAddOn.h"

int main(int argc, char** argv) {
    return KrProgramMain<KrQuivoXAppAddOn>("XQuivoone", argc, argv, 1);
}
