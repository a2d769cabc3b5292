/* A stand-in for an application that ignores SIGTERM: only SIGKILL ends it. */
#include <signal.h>
#include <unistd.h>

int main(void) {
  signal(SIGTERM, SIG_IGN);
  for (;;) pause();
}
