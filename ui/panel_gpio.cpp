// The GPIO block: where it comes from (the virtual block, /dev/gpiomem, or
// /dev/mem on the supported boards only), mapping it, and the pins at rest.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/log.h"
#include "platform/platform.h"
#include "ui/gpio_pins.h"
#include "ui/panel.h"

namespace {

// Physical address of the GPIO block of the supported boards.
constexpr off_t kGpioPhysBase = 0x3F200000;

bool fileExists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The device tree's compatible list (NUL-separated strings), "" when absent.
std::string readCompatible() {
  for (const char *p :
       {"/proc/device-tree/compatible", "/sys/firmware/devicetree/base/compatible"}) {
    FILE *f = fopen(MapPath(p).c_str(), "rb");
    if (f == nullptr) continue;
    char buf[512];
    size_t n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    return std::string(buf, n);
  }
  return std::string();
}

}  // namespace

void GpioSetup(GpioBlock *g) {
  pinOutput(g, kPinData);
  pinOutput(g, kPinClock);
  pinOutput(g, kPinAlwaysHigh);
  pinHigh(g, kPinFwArmed);
  pinOutput(g, kPinFwArmed);
  for (int pin = kKeyFirstGpio; pin < kKeyFirstGpio + kPanelKeys; ++pin) pinInput(g, pin);
  // Pull-ups on the keys: control, then its clock into the key pins, then both off.
  reg(g, kRegPud) = 2;
  linkDelay(g, 10);
  reg(g, kRegPudClk0) = kKeyLevelMask;
  linkDelay(g, 10);
  reg(g, kRegPud) = 0;
  reg(g, kRegPudClk0) = 0;
}

void GpioOutputs(GpioBlock *g, Works *works) {
  bool armed = (works->armedActions & kArmedFwUpdate) != 0;
  reg(g, kRegSet0) = (1u << kPinAlwaysHigh) | (armed ? 0u : 1u << kPinFwArmed);
  if (armed) pinLow(g, kPinFwArmed);
}

GpioSource ChooseGpioSource(bool underRoot, bool haveGpiomem, const std::string &compatible,
                            std::string *why) {
  if (underRoot) return GS_VIRTUAL;
  if (haveGpiomem) return GS_GPIOMEM;
  // The block sits at 0x3F200000 only on the BCM2836/2837 boards; on any
  // other machine that address is someone else's memory.
  bool pi = false;
  size_t start = 0;
  while (start < compatible.size()) {
    size_t end = compatible.find('\0', start);
    if (end == std::string::npos) end = compatible.size();
    std::string entry = compatible.substr(start, end - start);
    if (entry == "brcm,bcm2836" || entry == "brcm,bcm2837" || entry == "brcm,bcm2709" ||
        entry == "brcm,bcm2710")
      pi = true;
    start = end + 1;
  }
  if (pi) return GS_DEVMEM;
  if (why != nullptr) {
    *why =
        compatible.empty()
            ? "no device tree: not the amplifier's board, /dev/mem left alone"
            : "device tree names another machine: not the amplifier's board, /dev/mem left alone";
  }
  return GS_REFUSE;
}

volatile uint32_t *GpioMap(int *exitStatus) {
  bool underRoot = !RootDir().empty();
  bool haveGpiomem = !underRoot && fileExists(MapPath("/dev/gpiomem"));
  std::string why;
  GpioSource src =
      ChooseGpioSource(underRoot, haveGpiomem, underRoot ? std::string() : readCompatible(), &why);
  if (src == GS_REFUSE) {
    LogErr("can't open /dev/mem");
    LogErr("GPIO: %s", why.c_str());
    *exitStatus = 8;
    return nullptr;
  }
  std::string path = MapPath(src == GS_GPIOMEM ? "/dev/gpiomem" : "/dev/mem");
  int fd = open(path.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
  if (fd < 0) {
    LogErr("can't open /dev/mem");
    *exitStatus = 8;
    return nullptr;
  }
  if (src == GS_VIRTUAL) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < kGpioBlockBytes) {
      close(fd);
      LogErr("can't open /dev/mem");
      LogErr("GPIO: %s is not a GPIO block file of %d bytes", path.c_str(), kGpioBlockBytes);
      *exitStatus = 8;
      return nullptr;
    }
  }
  off_t offset = src == GS_DEVMEM ? kGpioPhysBase : 0;
  void *map = mmap(nullptr, kGpioBlockBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
  int e = errno;
  close(fd);
  if (map == MAP_FAILED) {
    LogErr("mmap error %d\n", e);
    *exitStatus = -1;
    return nullptr;
  }
  *exitStatus = 0;
  return static_cast<volatile uint32_t *>(map);
}

void GpioUnmap(volatile uint32_t *regs) {
  if (regs != nullptr) munmap(const_cast<uint32_t *>(regs), kGpioBlockBytes);
}
