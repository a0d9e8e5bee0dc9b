/* baseline-scan: the least work any scanner of this signature table must do per file, as the
 * physical limit the real scanners are compared with.
 *
 *   baseline-scan [--threads N] FOLDER
 *
 * It walks the tree and, for every regular file, opens it, takes its length and reads what the
 * matcher reads before it can decide anything: the 2-byte header offset at 60, the 4-byte
 * signature there and, for a PE image, the 20-byte file header, the 96-byte optional header and
 * the section table (at most 20 entries); then it closes the file. It compares no signature:
 * the probes of a record are read only for files of the record's size, which are few.
 *
 * Positioned reads (pread) and directory-relative opens (openat) keep it to the fewest system
 * calls: one open, one fstat, at most five reads and one close per file. It prints the number
 * of files seen and of PE images found, so the work cannot be optimised away.
 *
 * With --threads N (N > 1), the walk hands each file to N - 1 reader threads through a bounded
 * queue: the plain reader that keeps several files in flight. With 1 (the default) the walk
 * reads every file itself. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static unsigned long g_files;
static unsigned long g_images;
static pthread_mutex_t g_countLock = PTHREAD_MUTEX_INITIALIZER;

static int ReadExactly(int fd, void* buffer, size_t count, off_t position) {
  return pread(fd, buffer, count, position) == (ssize_t)count;
}

/* Returns 0 for a file it could not open, 1 for a file, 2 for a PE image. */
static int ScanFile(int dirFd, const char* name) {
  int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return 0;
  int result = 1;
  struct stat info;
  unsigned char offsetBytes[2];
  unsigned char signature[4];
  unsigned char fileHeader[20];
  unsigned char optionalHeader[96];
  unsigned char sections[20 * 40];
  if (fstat(fd, &info) == 0 && ReadExactly(fd, offsetBytes, 2, 60)) {
    const off_t h = offsetBytes[0] | offsetBytes[1] << 8;
    if (ReadExactly(fd, signature, 4, h) && memcmp(signature, "PE\0\0", 4) == 0 &&
        ReadExactly(fd, fileHeader, 20, h + 4) && ReadExactly(fd, optionalHeader, 96, h + 24)) {
      const unsigned count = fileHeader[2] | fileHeader[3] << 8;
      if (count <= 20 && (count == 0 || ReadExactly(fd, sections, 40 * count, h + 248))) {
        result = 2;
      }
    }
  }
  close(fd);
  return result;
}

/* The queue between the walk and the readers. A folder stays open while files of it wait. */
struct Folder {
  int fd;
  int users; /* under g_queueLock */
};
struct Job {
  struct Folder* folder;
  char name[256];
};
enum { kQueueSize = 256 };
static struct Job g_queue[kQueueSize];
static unsigned g_head, g_tail; /* jobs g_head..g_tail-1 wait */
static int g_done;
static int g_threads = 1;
static pthread_mutex_t g_queueLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_notEmpty = PTHREAD_COND_INITIALIZER;
static pthread_cond_t g_notFull = PTHREAD_COND_INITIALIZER;

static void LeaveFolder(struct Folder* folder) {
  /* under g_queueLock */
  if (--folder->users == 0) {
    close(folder->fd);
    free(folder);
  }
}

static void* Reader(void* unused) {
  (void)unused;
  unsigned long files = 0, images = 0;
  pthread_mutex_lock(&g_queueLock);
  for (;;) {
    while (g_head == g_tail && !g_done) pthread_cond_wait(&g_notEmpty, &g_queueLock);
    if (g_head == g_tail) break;
    struct Job job = g_queue[g_head++ % kQueueSize];
    pthread_cond_signal(&g_notFull);
    pthread_mutex_unlock(&g_queueLock);
    const int result = ScanFile(job.folder->fd, job.name);
    files += result > 0;
    images += result > 1;
    pthread_mutex_lock(&g_queueLock);
    LeaveFolder(job.folder);
  }
  pthread_mutex_unlock(&g_queueLock);
  pthread_mutex_lock(&g_countLock);
  g_files += files;
  g_images += images;
  pthread_mutex_unlock(&g_countLock);
  return NULL;
}

static void Queue(struct Folder* folder, const char* name) {
  if (strlen(name) >= sizeof g_queue[0].name) return;
  pthread_mutex_lock(&g_queueLock);
  while (g_tail - g_head == kQueueSize) pthread_cond_wait(&g_notFull, &g_queueLock);
  struct Job* job = &g_queue[g_tail++ % kQueueSize];
  job->folder = folder;
  strcpy(job->name, name);
  ++folder->users;
  pthread_cond_signal(&g_notEmpty);
  pthread_mutex_unlock(&g_queueLock);
}

static void Walk(int dirFd) {
  DIR* dir = fdopendir(dirFd);
  if (dir == NULL) {
    close(dirFd);
    return;
  }
  /* The readers get a descriptor of their own: the walk closes its one when it is done here. */
  struct Folder* folder = NULL;
  if (g_threads > 1) {
    folder = malloc(sizeof *folder);
    folder->fd = dup(dirfd(dir));
    folder->users = 1;
  }
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat info;
      if (fstatat(dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == DT_REG && folder != NULL) {
      Queue(folder, name);
    } else if (type == DT_REG) {
      const int result = ScanFile(dirfd(dir), name);
      g_files += result > 0;
      g_images += result > 1;
    } else if (type == DT_DIR) {
      const int child = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
      if (child >= 0) Walk(child);
    }
  }
  closedir(dir);
  if (folder != NULL) {
    pthread_mutex_lock(&g_queueLock);
    LeaveFolder(folder);
    pthread_mutex_unlock(&g_queueLock);
  }
}

int main(int argc, char** argv) {
  const char* folder = argc == 2 ? argv[1] : NULL;
  if (argc == 4 && strcmp(argv[1], "--threads") == 0) {
    g_threads = atoi(argv[2]);
    folder = argv[3];
  }
  if (folder == NULL || g_threads < 1 || g_threads > 256) {
    fprintf(stderr, "usage: baseline-scan [--threads N] FOLDER\n");
    return 2;
  }
  const int root = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) {
    perror(folder);
    return 2;
  }
  pthread_t readers[256];
  for (int i = 0; i < g_threads - 1; ++i) pthread_create(&readers[i], NULL, Reader, NULL);
  Walk(root);
  pthread_mutex_lock(&g_queueLock);
  g_done = 1;
  pthread_cond_broadcast(&g_notEmpty);
  pthread_mutex_unlock(&g_queueLock);
  for (int i = 0; i < g_threads - 1; ++i) pthread_join(readers[i], NULL);
  printf("%lu files, %lu PE images\n", g_files, g_images);
  return 0;
}
