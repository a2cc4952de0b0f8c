/* The launcher that an installation puts into <prefix>/bin under the name of
 * each program: it runs the program of the same name from the private program
 * directory, QUOVENT_LAUNCHER_PROGRAM_DIR relative to its own directory
 * (../libexec/quovent), with argv[0] set to that program's full path.
 *
 * Why it exists: a multi-process driver takes its stage programs from the
 * directory of its own argv[0], and a program started by name through PATH
 * gets the bare name there. Run through the launcher, a driver sees the path
 * of the private directory, where the stage programs lie, however it was
 * started.
 *
 * Why it is a program and not a shell script: it replaces itself with execv,
 * so the real program keeps the launcher's process id, descriptors, signal
 * dispositions and environment exactly, and the caller sees the real
 * program's exit status or signal. Its own location comes from
 * /proc/self/exe, which names the file itself even when it was reached
 * through a symbolic link or a relative PATH entry. It needs only the C
 * library, so it starts in well under a millisecond. */
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#ifndef QUOVENT_LAUNCHER_PROGRAM_DIR
#error "QUOVENT_LAUNCHER_PROGRAM_DIR: the program directory relative to the launcher's"
#endif

/* The escapes of COLOR_RED_B and COLOR_RESET (common/Errors): the launcher
 * reports like Error without linking the C++ runtime. */
static const char kBoldRed[] = "\033[1;31m";
static const char kReset[] = "\033[0m";

/* Room for a message: the path, the name and the texts around them; snprintf
 * cuts a longer one. */
enum { kMessageSize = PATH_MAX + NAME_MAX + 128 };

/* Writes "[name] what path: strerror(errno)" in bold red to standard error in
 * one write and exits with errno, as Error does. */
_Noreturn static void fail(const char *name, const char *what, const char *path) {
  int error_number = errno;
  char line[kMessageSize];
  int length = snprintf(line, sizeof line, "%s[%s] %s %s: %s%s\n", kBoldRed, name, what, path,
                        strerror(error_number), kReset);
  if (length < 0) length = 0;
  if ((size_t)length >= sizeof line) length = (int)sizeof line - 1;
  (void)!write(2, line, (size_t)length);
  exit(error_number != 0 ? error_number : 1);
}

/* Appends the relative path `relative` to the directory `dir`, an absolute
 * path without symbolic links in a buffer of `size` bytes, resolving "." and
 * ".." by text: exact, because /proc/self/exe holds no symbolic link.
 * Returns 0, or -1 when the buffer is too small. */
static int join_path(char *dir, size_t size, const char *relative) {
  size_t length = strlen(dir);
  while (*relative != '\0') {
    size_t part = strcspn(relative, "/");
    if (part == 2 && relative[0] == '.' && relative[1] == '.') {
      char *slash = strrchr(dir, '/');
      length = slash != NULL ? (size_t)(slash - dir) : 0;
      dir[length] = '\0';
    } else if (part > 0 && !(part == 1 && relative[0] == '.')) {
      if (length + 1 + part >= size) return -1;
      dir[length++] = '/';
      memcpy(dir + length, relative, part);
      length += part;
      dir[length] = '\0';
    }
    relative += part;
    if (*relative == '/') ++relative;
  }
  return 0;
}

int main(int argc, char **argv) {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  if (length < 0 || (size_t)length >= sizeof path) {
    if (length >= 0) errno = ENAMETOOLONG;
    fail("Quovent launcher", "Cannot read", "/proc/self/exe");
  }
  path[length] = '\0';

  /* The program's name is the launcher's own file name: one launcher is
   * installed under the name of every program. */
  char *slash = strrchr(path, '/');
  char name[NAME_MAX + 1];
  snprintf(name, sizeof name, "%s", slash + 1);
  *slash = '\0';
  if (join_path(path, sizeof path, QUOVENT_LAUNCHER_PROGRAM_DIR) != 0 ||
      join_path(path, sizeof path, name) != 0) {
    errno = ENAMETOOLONG;
    fail(name, "Error executing", name);
  }

  /* Started with no argument at all (argc 0), the program still gets its
   * path as argv[0]. */
  char *no_arguments[] = {path, NULL};
  char **program_argv = argc > 0 ? argv : no_arguments;
  program_argv[0] = path;
  execv(path, program_argv);
  fail(name, "Error executing", path);
}
