// A small dynamically linked program that the Linux suite starts under chosen
// names: it says it is running, then sleeps until killed or for at most a minute.
#include <unistd.h>

int main() {
  const char ready = '!';
  (void)!write(STDOUT_FILENO, &ready, 1);
  for (int second = 0; second < 60; ++second) {
    sleep(1);
  }
  return 0;
}
