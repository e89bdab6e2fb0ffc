// bin/multiplexor: the connection multiplexor of the instant-messaging service.
#include "process/multiplexor.h"

int main(int argc, char **argv) { return multiplexor_entry(argc, argv); }
