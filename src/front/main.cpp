#include "front/args.h"

int main(int argc, char **argv) { return kavprobe_main(argc, argv); }
