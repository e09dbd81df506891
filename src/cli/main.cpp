// kestro-update: finishes an application update. All of the work lives in the library.
#include <cstdlib>

#include "cli/startup.h"

int main(int argc, char** argv) { std::exit(kestro::run_main(argc, argv)); }
