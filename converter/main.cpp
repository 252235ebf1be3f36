#include "sonex_program.h"

int main(int argc, char** argv) { return kelvra::RunSonex(argc, argv); }
