// Placeholder.
#include "input/ziravorov.h"
int StartTranscoding() { return 1; }
int RunInput(const char*) { return 0; }
std::size_t header_callback(char*, std::size_t s, std::size_t n, void*) { return s * n; }
std::size_t write_callback(char*, std::size_t s, std::size_t n, void*) { return s * n; }
