#pragma once
// The spectrum receiver on the USB bus, as the reader streams from it.
#include "links/links.h"

// The session with the receiver, open between openReceiver and ExitNebread.
extern libusb_context *usbCtx;
extern libusb_device_handle *dev_handle;

inline const UsbOps &ops() {
  return CurrentUsbOps();
}

// Finds, opens and claims the receiver; reads its versions and serial.
bool openReceiver();
// Offsets, then the FIFO and the stream; only the offsets are required.
bool startStream();
