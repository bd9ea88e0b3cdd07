// zembra_cloud_files: the platform half of a sync client. Reads JSON requests line by line from
// standard input and answers on standard output; see docs/protocol.md.
#include "main/main_loop.h"

int main() { return zcf::run_main_loop(); }
