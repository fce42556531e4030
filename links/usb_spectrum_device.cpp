// The spectrum receiver on the USB bus: the libusb calls (real, or an empty
// bus under OMBRIX_ROOT), finding and claiming the receiver, its versions,
// serial and offsets, the start of its stream and the release at the end.
#include "links/usb_spectrum_device.h"

#include <libusb-1.0/libusb.h>

#include <cstring>
#include <string>

#include "core/setup.h"
#include "errors/errors.h"
#include "links/links.h"
#include "platform/log.h"
#include "platform/platform.h"

// Build-time settings: the receiver family's vendor id, the accepted
// product and the two products of the family that are refused.
#ifndef OMBRIX_USB_VENDOR
#define OMBRIX_USB_VENDOR 0x16c0
#endif
#ifndef OMBRIX_USB_PRODUCT
#define OMBRIX_USB_PRODUCT 0x05dc
#endif
#ifndef OMBRIX_USB_REFUSED_A
#define OMBRIX_USB_REFUSED_A 0x05dd
#endif
#ifndef OMBRIX_USB_REFUSED_B
#define OMBRIX_USB_REFUSED_B 0x05de
#endif

At<int> status_usb_open{0};
float globalOffset = 0, lpOffset = 0, attOffset = 0;
libusb_context *usbCtx = nullptr;
libusb_device_handle *dev_handle = nullptr;

namespace {

constexpr uint16_t NEB_USB_VID = OMBRIX_USB_VENDOR;
constexpr uint16_t NEB_USB_PID = OMBRIX_USB_PRODUCT;
constexpr uint16_t kRefusedA = OMBRIX_USB_REFUSED_A;
constexpr uint16_t kRefusedB = OMBRIX_USB_REFUSED_B;
constexpr const char *kModelName = "NEB receiver";
constexpr const char *kRefusedAName = "NEB receiver, model A";
constexpr const char *kRefusedBName = "NEB receiver, model B";

constexpr uint8_t kVendorIn = 0xC0;
// The device answers its vendor requests at once; a request that hangs is a
// device gone wrong, not one to wait for forever.
constexpr unsigned kControlTimeoutMs = 2000;

const UsbOps *gOps = nullptr;

// --- the real libusb ---
int realInit(libusb_context **ctx) {
  return libusb_init(ctx);
}
void realExit(libusb_context *ctx) {
  libusb_exit(ctx);
}
void realSetDebug(libusb_context *ctx, int level) {
  libusb_set_option(ctx, LIBUSB_OPTION_LOG_LEVEL, level);
}
long realGetDeviceList(libusb_context *ctx, libusb_device ***list) {
  return static_cast<long>(libusb_get_device_list(ctx, list));
}
void realFreeDeviceList(libusb_device **list, int unref) {
  if (list != nullptr) libusb_free_device_list(list, unref);
}
int realGetDeviceDescriptor(libusb_device *dev, libusb_device_descriptor *desc) {
  return libusb_get_device_descriptor(dev, desc);
}
int realOpen(libusb_device *dev, libusb_device_handle **h) {
  return libusb_open(dev, h);
}
void realClose(libusb_device_handle *h) {
  libusb_close(h);
}
int realKernelDriverActive(libusb_device_handle *h, int i) {
  return libusb_kernel_driver_active(h, i);
}
int realDetachKernelDriver(libusb_device_handle *h, int i) {
  return libusb_detach_kernel_driver(h, i);
}
int realClaimInterface(libusb_device_handle *h, int i) {
  return libusb_claim_interface(h, i);
}
int realReleaseInterface(libusb_device_handle *h, int i) {
  return libusb_release_interface(h, i);
}
int realControlTransfer(libusb_device_handle *h, uint8_t type, uint8_t req, uint16_t value,
                        uint16_t index, unsigned char *data, uint16_t len, unsigned timeout) {
  return libusb_control_transfer(h, type, req, value, index, data, len, timeout);
}
libusb_transfer *realAllocTransfer(int iso) {
  return libusb_alloc_transfer(iso);
}
void realFreeTransfer(libusb_transfer *t) {
  libusb_free_transfer(t);
}
int realSubmitTransfer(libusb_transfer *t) {
  return libusb_submit_transfer(t);
}
int realCancelTransfer(libusb_transfer *t) {
  return libusb_cancel_transfer(t);
}
int realHandleEvents(libusb_context *ctx, int timeoutMs) {
  struct timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
}

const UsbOps kRealOps = {realInit,
                         realExit,
                         realSetDebug,
                         realGetDeviceList,
                         realFreeDeviceList,
                         realGetDeviceDescriptor,
                         realOpen,
                         realClose,
                         realKernelDriverActive,
                         realDetachKernelDriver,
                         realClaimInterface,
                         realReleaseInterface,
                         realControlTransfer,
                         realAllocTransfer,
                         realFreeTransfer,
                         realSubmitTransfer,
                         realCancelTransfer,
                         realHandleEvents};

// Under OMBRIX_ROOT the PC's own USB devices are none of this program's
// business: the bus looks empty.
int rootInit(libusb_context **ctx) {
  *ctx = nullptr;
  return 0;
}
void rootExit(libusb_context *) {}
void rootSetDebug(libusb_context *, int) {}
long rootGetDeviceList(libusb_context *, libusb_device ***list) {
  *list = nullptr;
  return 0;
}
const UsbOps kRootOps = [] {
  UsbOps o = kRealOps;
  o.init = rootInit;
  o.exit = rootExit;
  o.setDebug = rootSetDebug;
  o.getDeviceList = rootGetDeviceList;
  return o;
}();

// One vendor request into a cleared 1024-byte buffer.
int vendorRequest(uint8_t request, uint16_t value, uint16_t index, unsigned char *buf,
                  uint16_t length) {
  memset(buf, 0, 1024);
  return ops().controlTransfer(dev_handle, kVendorIn, request, value, index, buf, length,
                               kControlTimeoutMs);
}

// The device's 4-byte little-endian float.
float leFloat(const unsigned char *b) {
  uint32_t u = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
               static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
  float f;
  memcpy(&f, &u, sizeof f);
  return f;
}

bool readOffset(uint16_t value, const char *name, float *out) {
  unsigned char buf[1024];
  int r = vendorRequest(0xA2, value, 0x0151, buf, 4);
  if (r != 4) {
    LogErr("%s failed (%d)\n", name, r);
    return false;
  }
  *out = leFloat(buf);
  LogInfo("%s: %f\n", name, static_cast<double>(*out));
  return true;
}

std::string printableSerial(const unsigned char *b, int n) {
  std::string s;
  for (int i = 0; i < n && b[i] != 0; ++i) s += (b[i] >= 0x20 && b[i] < 0x7F) ? char(b[i]) : '.';
  return s;
}

// Versions, serial and product of the claimed receiver; false for a product
// that must not stream.
bool identifyReceiver(uint16_t product) {
  unsigned char buf[1024];
  int r = vendorRequest(0xFF, 0, 0, buf, 2);
  if (r > 0)
    LogInfo("USB Driver Version: %d.%d\n", buf[0], buf[1]);
  else
    LogInfo("USB Driver Version read failed\n");
  r = vendorRequest(0xA2, 0x404C, 0x0151, buf, 2);
  if (r == 2)
    LogInfo("HW Version: %d.%d\n", buf[0], buf[1]);
  else
    LogInfo("HW Version read failed\n");
  unsigned char serial[1024];
  r = vendorRequest(0xA2, 0x4000, 0x0151, serial, 32);
  if (r != 32) {
    LogErr("Serial read failed (%d)\n", r);
    return false;
  }
  if (product == NEB_USB_PID) {
    LogInfo("%s\n", kModelName);
  } else if (product == kRefusedA) {
    LogErr("%s\n", kRefusedAName);
    return false;
  } else if (product == kRefusedB) {
    LogErr("%s\n", kRefusedBName);
    return false;
  } else {
    // The vendor id alone is shared with other hardware: never stream
    // from a product we do not know.
    LogErr("Unknown product %04x\n", product);
    return false;
  }
  LogInfo("Serial: %-s\n", printableSerial(serial, 32).c_str());
  LogInfo("Device caught\n");
  return true;
}

}  // namespace

// Finds, opens and claims the receiver; reads its versions and serial.
bool openReceiver() {
  int rc = ops().init(&usbCtx);
  if (rc < 0) {
    LogErr("Init Error %d\n", rc);
    usbCtx = nullptr;
    return false;
  }
  ops().setDebug(usbCtx, 3);
  libusb_device **list = nullptr;
  long n = ops().getDeviceList(usbCtx, &list);
  if (n < 0) {
    LogErr("Get Device Error\n");
    return false;
  }
  bool ok = false, matched = false;
  for (long i = 0; i < n; ++i) {
    libusb_device_descriptor desc;
    int r = ops().getDeviceDescriptor(list[i], &desc);
    if (r < 0) {
      LogErr("Get Device Descriptor %d %d\n", r, static_cast<int>(i));
      break;
    }
    LogInfo("%d vid %04x pid %04x %d\n", static_cast<int>(i), desc.idVendor, desc.idProduct,
            desc.bNumConfigurations);
    if (desc.idVendor != NEB_USB_VID) continue;
    matched = true;
    if (ops().open(list[i], &dev_handle) != 0) {
      dev_handle = nullptr;
      LogErr("Cannot open KTL Device\n");
      break;
    }
    LogInfo("KTL Device Opened\n");
    status_usb_open = 1;
    if (ops().kernelDriverActive(dev_handle, 0) == 1) {
      LogInfo("Kernel Driver Active\n");
      if (ops().detachKernelDriver(dev_handle, 0) == 0) LogInfo("Kernel Driver Detached\n");
    }
    if (ops().claimInterface(dev_handle, 0) < 0) {
      LogErr("Cannot claim Interface\n");
      break;
    }
    LogInfo("Interface claimed\n");
    ok = identifyReceiver(desc.idProduct);
    break;
  }
  ops().freeDeviceList(list, 1);
  if (ok) LogInfo("libusb devices list freed\n");
  if (!matched) LogErr("Cannot find KTL Device\n");
  return ok;
}

// Offsets, then the FIFO and the stream; only the offsets are required.
bool startStream() {
  if (!readOffset(0x4028, "Global Offset", &globalOffset)) return false;
  if (!readOffset(0x402C, "LP Offset", &lpOffset)) return false;
  if (!readOffset(0x4030, "ATT Offset", &attOffset)) return false;
  unsigned char buf[1024];
  int r = vendorRequest(0xE1, 0, 0xE900, buf, 1);
  if (r == 1)
    LogInfo("Stop FIFO\n");
  else
    LogInfo("Stop FIFO failed (%d)\n", r);
  r = vendorRequest(0xE1, 0, 0xE800, buf, 1);
  if (r == 1)
    LogInfo("Init FIFO\n");
  else
    LogInfo("Init FIFO failed (%d)\n", r);
  r = vendorRequest(0xE1, 1, 0xE900, buf, 1);
  if (r != 1 || buf[0] != 0xE9) LogInfo("Enable SYN failed (%d %02X)\n", r, buf[0]);
  LogInfo("SYN Enabled\n");
  return true;
}

const UsbOps &LibUsbOps() {
  return RootDir().empty() ? kRealOps : kRootOps;
}
void SetUsbOps(const UsbOps *o) {
  gOps = o;
}
const UsbOps &CurrentUsbOps() {
  return gOps != nullptr ? *gOps : LibUsbOps();
}
uint16_t NebUsbVendor() {
  return NEB_USB_VID;
}
uint16_t NebUsbProduct() {
  return NEB_USB_PID;
}
void ExitNebread(Works *works) {
  AddErrore(works, ERR_REMOTE_USB);
  SetSetupChar(works, SB_EnableFFT, '0');
  works->catClosed = 1;
  if (dev_handle != nullptr) {
    ops().releaseInterface(dev_handle, 0);
    ops().close(dev_handle);
    dev_handle = nullptr;
  }
  status_usb_open = 0;
  if (usbCtx != nullptr) {
    ops().exit(usbCtx);
    usbCtx = nullptr;
  }
}
