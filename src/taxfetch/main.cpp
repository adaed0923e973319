#include "common/process_startup.h"
#include "taxfetch/taxfetch.h"

int main(int argc, char** argv) {
    ignoreBrokenPipe();
    bufferStandardOutput();
    return taxfetch::taxfetchMain(argc, argv);
}
