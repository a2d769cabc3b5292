/* The system calls of one idle watch pass, done by a minimal C program: the floor an idle pass
 * cannot go below. Usage: syscall_floor SANDBOX PASSES (SANDBOX/Shared/Commands and SANDBOX/state). */
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  char shared[4096], state[4096];
  snprintf(shared, sizeof shared, "%s/Shared", argv[1]);
  snprintf(state, sizeof state, "%s/state/active-session.json", argv[1]);
  mkdir(shared, 0777);
  long passes = atol(argv[2]);
  for (long i = 0; i < passes; ++i) {
    struct stat st;
    stat(argv[1], &st); /* the grandparent exists */
    int grandparent = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    fstatat(grandparent, "Shared", &st, AT_SYMLINK_NOFOLLOW);
    int parent = openat(grandparent, "Shared", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fstatat(parent, "Commands", &st, AT_SYMLINK_NOFOLLOW) != 0) mkdirat(parent, "Commands", 0777);
    int commands = openat(parent, "Commands", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    fstat(parent, &st);
    fchmod(parent, 0777);
    fstat(commands, &st);
    fchmod(commands, 0777);
    unsigned char random[8];
    getentropy(random, sizeof random);
    char temporary[64];
    snprintf(temporary, sizeof temporary, ".tmp-%02x%02x%02x%02x", random[0], random[1], random[2], random[3]);
    fstatat(parent, "helper-protocol-v1", &st, AT_SYMLINK_NOFOLLOW);
    int marker = openat(parent, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    write(marker, "3\n", 2);
    fchmod(marker, 0644);
    close(marker);
    renameat(parent, temporary, parent, "helper-protocol-v1");
    int listing = fcntl(commands, F_DUPFD_CLOEXEC, 0);
    DIR* directory = fdopendir(listing);
    while (readdir(directory)) {
    }
    closedir(directory);
    close(commands);
    close(parent);
    close(grandparent);
    int session = open(state, O_RDONLY | O_CLOEXEC | O_NONBLOCK); /* no session: ENOENT */
    if (session >= 0) close(session);
  }
  return 0;
}
