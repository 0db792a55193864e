// A small dynamically linked program that the Linux suite starts under chosen
// names: it says it is running, then sleeps until killed. The suite kills it,
// and the kernel does if the suite dies first (its parent-death signal), so a
// slow run never outlives a sleeper and a crashed one leaves none behind.
// Given "leader-exits", its main thread ends and a second thread sleeps.
#include <pthread.h>
#include <unistd.h>

#include <cstring>

namespace {

void* Sleep(void*) {
  const char ready = '!';
  (void)!write(STDOUT_FILENO, &ready, 1);
  for (;;) {
    pause();
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc > 1 && std::strcmp(argv[1], "leader-exits") == 0) {
    pthread_t thread;
    pthread_create(&thread, nullptr, Sleep, nullptr);
    pthread_exit(nullptr);
  }
  Sleep(nullptr);
  return 0;
}
