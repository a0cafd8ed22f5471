// object_reader: reads LTO tapes written in the Quorrant object format.
#include "object_reader.h"

int main(int argc, char** argv) { return object_reader_main(argc, argv); }
