// A program with one fault of each kind the sanitizers catch, chosen by its
// argument, to show that a report ends a sanitized program with status 99 and
// reaches the test that ran it.
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Loses a block; a frame of its own, so that no copy of the pointer stays
// where the leak check would still find it.
__attribute__((noinline)) void lose_block(const char* text) {
  char* lost = strdup(text);
  printf("%s\n", lost);
  memset(&lost, 0, sizeof(lost));
}

}  // namespace

int main(int argc, char** argv) {
  const char* fault = argc > 1 ? argv[1] : "";
  // Sizes and values come from the command line so that nothing is folded
  // away at compile time.
  const int n = static_cast<int>(strlen(fault));
  if (strcmp(fault, "overflow") == 0) {
    char* buf = static_cast<char*>(malloc(static_cast<size_t>(n)));
    memcpy(buf, fault, static_cast<size_t>(n) + 1);
    printf("%s\n", buf);
    free(buf);
  } else if (strcmp(fault, "undefined") == 0) {
    int big = 0x7ffffff0;
    big += n * 2;
    printf("%d\n", big);
  } else if (strcmp(fault, "leak") == 0) {
    lose_block(fault);
  } else {
    printf("clean\n");
  }
  return 0;
}
