// A heap overflow on purpose: in the sanitizer builds AddressSanitizer must
// stop this program with its report and a failing exit status, and both must
// reach ctest, also when the test programs run through an emulator.
#include <cstdio>

int main(int argc, char**) {
  volatile char* block = new char[8];
  block[7 + argc] = 1;  // one past the end (argc is 1)
  std::printf("the overflow went unnoticed\n");
  delete[] block;
  return 0;
}
