// The sonex program: the choice between information mode and conversion
// mode, and the process exit code.
#ifndef KELVRA_CONVERTER_SONEX_PROGRAM_H
#define KELVRA_CONVERTER_SONEX_PROGRAM_H

namespace kelvra {

// Runs the program on its command line and answers the process exit code.
int RunSonex(int argc, char** argv);

}  // namespace kelvra

#endif  // KELVRA_CONVERTER_SONEX_PROGRAM_H
