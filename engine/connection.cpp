// Placeholder until the connection is written.
#include "engine/libzembril.h"
int ConnectToServer() { return 0; }
int DisconnectFromServer() { Engine().connected = 0; return 1; }
ssize_t SendEncoded(const unsigned char*, std::size_t) { return -1; }
ssize_t SendRequest(int, const char*) { return -1; }
