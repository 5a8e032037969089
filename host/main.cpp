// The native messaging host. The browser's arguments are ignored.
#include "host/host_main.h"

int main() { return HostMain(); }
