/* Times program starts: spawn_timer RUNS PROGRAM... starts each program RUNS
   times, taking the programs in turn so that the machine's noise falls on
   all of them alike, and prints for each a line "median_us mean_us
   failures". Each run gets a session of its own (no controlling terminal),
   /dev/null for its standard streams and this program's environment; a
   PROGRAM written NAME=VALUE,PATH runs PATH with NAME set to VALUE. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

static double NowUs(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

static int CompareDoubles(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: spawn_timer RUNS PROGRAM...\n");
    return 2;
  }
  const int runs = atoi(argv[1]);
  const int programs = argc - 2;
  if (runs < 1) return 2;
  double* times = malloc(sizeof(double) * (size_t)runs * (size_t)programs);
  int* failures = calloc((size_t)programs, sizeof(int));
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  /* Each program's path and environment. */
  char** paths = calloc((size_t)programs, sizeof(char*));
  char*** envs = calloc((size_t)programs, sizeof(char**));
  size_t count = 0;
  while (environ[count]) ++count;
  for (int p = 0; p < programs; ++p) {
    char* arg = argv[2 + p];
    char* comma = strchr(arg, ',');
    char* equals = strchr(arg, '=');
    paths[p] = arg;
    envs[p] = environ;
    if (!comma || !equals || equals > comma) continue;
    *comma = '\0';
    paths[p] = comma + 1;
    envs[p] = calloc(count + 2, sizeof(char*));
    size_t n = 0, name = (size_t)(equals - arg) + 1;
    for (size_t i = 0; i < count; ++i) {
      if (strncmp(environ[i], arg, name) != 0) envs[p][n++] = environ[i];
    }
    envs[p][n++] = arg;
  }
  for (int run = 0; run < runs; ++run) {
    for (int p = 0; p < programs; ++p) {
      char* child_argv[] = {paths[p], NULL};
      const double start = NowUs();
      pid_t pid;
      int status = 0;
      if (posix_spawn(&pid, paths[p], &actions, &attr, child_argv, envs[p]) != 0 ||
          waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ++failures[p];
      }
      times[p * runs + run] = NowUs() - start;
    }
  }
  for (int p = 0; p < programs; ++p) {
    double* mine = times + p * runs;
    double sum = 0;
    for (int i = 0; i < runs; ++i) sum += mine[i];
    qsort(mine, (size_t)runs, sizeof(double), CompareDoubles);
    printf("%.1f %.1f %d\n", mine[runs / 2], sum / runs, failures[p]);
  }
  return 0;
}
