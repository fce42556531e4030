// Linked with -Wl,--wrap=posix_spawn into the programs that start other
// programs of the build (integration tests, the simulator's launcher) when
// the build is a cross build: a program of the target's machine is started
// through the emulator, since the build machine cannot run it by itself.
// Anything else (shell scripts, the build machine's own programs) starts as
// it is.
#include <elf.h>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

extern "C" int __real_posix_spawn(pid_t *pid, const char *path,
                                  const posix_spawn_file_actions_t *actions,
                                  const posix_spawnattr_t *attr, char *const argv[],
                                  char *const envp[]);

namespace {

#if defined(__aarch64__)
constexpr unsigned kOwnMachine = EM_AARCH64;
#elif defined(__arm__)
constexpr unsigned kOwnMachine = EM_ARM;
#else
constexpr unsigned kOwnMachine = EM_NONE;
#endif

// An ELF file for the machine this program itself was built for.
bool isOwnMachineProgram(const char *path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char head[20] = {};
  ssize_t n = read(fd, head, sizeof head);
  close(fd);
  if (n != static_cast<ssize_t>(sizeof head) || memcmp(head, ELFMAG, SELFMAG) != 0) return false;
  // e_machine, little-endian on every machine this is built for.
  unsigned machine = head[18] | (head[19] << 8);
  return machine == kOwnMachine;
}

}  // namespace

extern "C" int __wrap_posix_spawn(pid_t *pid, const char *path,
                                  const posix_spawn_file_actions_t *actions,
                                  const posix_spawnattr_t *attr, char *const argv[],
                                  char *const envp[]) {
  if (!isOwnMachineProgram(path)) return __real_posix_spawn(pid, path, actions, attr, argv, envp);
  std::vector<std::string> words;
  std::istringstream emulator(OMBRIX_EMULATOR);
  for (std::string w; emulator >> w;) words.push_back(w);
  words.push_back(path);
  std::vector<char *> args;
  for (auto &w : words) args.push_back(w.data());
  for (int i = argv[0] != nullptr ? 1 : 0; argv[i] != nullptr; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  return __real_posix_spawn(pid, args[0], actions, attr, args.data(), envp);
}
