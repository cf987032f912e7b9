#include "frontend/commandline.h"
#include "input/ziravorov.h"

// Every way out of the program, this one included, ends with status 1; only "-V" ends with 0.
int main(int argc, char** argv) {
    ParseCommandLine(argc, argv);
    return StartTranscoding();
}
