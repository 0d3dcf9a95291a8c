// Placeholder entry point until the station and its window exist.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("Brisko Event File Workflow %s\n", BRISKO_VERSION);
      return 0;
    }
  }
  return 0;
}
