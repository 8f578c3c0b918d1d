// Entry point of the morvik tool; everything else lives in the core library.
#include "main.h"

int main(int argc, char** argv) {
  return morvik_main(argc, argv);
}
