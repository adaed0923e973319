#include "taxfetch/taxfetch.h"

int main(int argc, char** argv) { return taxfetch::taxfetchMain(argc, argv); }
