// Presence of the transceiver's USB audio interface, read from the USB
// devices the kernel lists under /sys/bus/usb/devices (no shell, no lsusb).
// The playback side asks every 10 ms, so the folder where the interface was
// last seen is checked first and the whole list is read only when it is gone.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/log.h"
#include "platform/platform.h"
#include "remote/audio.h"

namespace {

constexpr char kUsbDevices[] = "/sys/bus/usb/devices";
constexpr char kAudioVendor[] = "0d8c";
constexpr char kAudioProduct[] = "01af";

// The first word of a small sysfs file ("0d8c\n" gives "0d8c"); "" if unreadable.
std::string readWord(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  char buf[32];
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return "";
  buf[n] = '\0';
  size_t len = strcspn(buf, " \t\r\n");
  return std::string(buf, len);
}

struct UsbId {
  std::string vendor, product;
};

UsbId readId(const std::string &folder) {
  return {readWord(folder + "/idVendor"), readWord(folder + "/idProduct")};
}

// Calls visit(folder name, id) for every device folder (interfaces have no id).
template <typename Visit>
void forEachUsbDevice(Visit visit) {
  std::string dir = MapPath(kUsbDevices);
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    UsbId id = readId(dir + "/" + e->d_name);
    if (!id.vendor.empty()) visit(e->d_name, id);
  }
  closedir(d);
}

bool isAudioInterface(const UsbId &id) {
  return id.vendor == kAudioVendor && id.product == kAudioProduct;
}

std::mutex lastSeenMutex;
std::string lastSeen;  // folder name where the interface was found last

}  // namespace

int VerifyAudioNEB(Works *) {
  std::lock_guard<std::mutex> lock(lastSeenMutex);
  if (!lastSeen.empty() && isAudioInterface(readId(MapPath(kUsbDevices) + "/" + lastSeen)))
    return 1;
  lastSeen.clear();
  int count = 0;
  forEachUsbDevice([&](const char *name, const UsbId &id) {
    if (!isAudioInterface(id)) return;
    if (count++ == 0) lastSeen = name;
  });
  return count;
}

int Get_AudioNEB(Works *) {
  // Every device of the interface's maker, one line each, as the remote menu
  // check shows them.
  int count = 0;
  forEachUsbDevice([&](const char *name, const UsbId &id) {
    if (id.vendor != kAudioVendor) return;
    ++count;
    LogStderr("----------------- %s ID %s:%s\n", name, id.vendor.c_str(), id.product.c_str());
  });
  return count;
}
