#include "Main.h"

int main(int argc, char** argv) { return kxmp::cli::Main(argc, argv); }
